// libdsk's part of the containers it reads (see image_libdsk.h): it reads the
// sectors a container listed from a private copy of the image.
#include "image_libdsk.h"
#include "image_libdsk_copy.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <mutex>

#include <libdsk.h>

namespace platform::image::libdsk {

namespace {

// libdsk keeps global state (its report hooks, its table of open drives).
std::mutex& lock()
{
    static std::mutex m;
    return m;
}

void quiet(const char*) {}
void quietEnd() {}

class Drive {
public:
    ~Drive()
    {
        if (m_drive)
            dsk_close(&m_drive);
    }
    DSK_PDRIVER* operator&() { return &m_drive; }
    DSK_PDRIVER get() const { return m_drive; }

private:
    DSK_PDRIVER m_drive = nullptr;
};

std::optional<std::string> faultOf(dsk_err_t err)
{
    switch (err) {
    case DSK_ERR_OK:
        return std::nullopt;
    case DSK_ERR_DATAERR:
        return std::string("the dump recorded a data CRC error");
    case DSK_ERR_NODATA:
        return std::string("the dump recorded no data");
    case DSK_ERR_NOADDR:
        return std::string("the dump recorded no address mark");
    default:
        return std::string("libdsk cannot read it (") + dsk_strerror(err) + ")";
    }
}

} // namespace

Result<std::shared_ptr<const Disk>> read(const std::string& bytes, const char* driver, const std::string& format,
                                         const std::vector<TrackIds>& tracks, const std::string& damaged)
{
    std::uint64_t total = 0;
    std::uint32_t cylinders = 1, heads = 1, most = 1, base = 255;
    for (const TrackIds& t : tracks) {
        cylinders = std::max(cylinders, t.cylinder + 1);
        heads = std::max(heads, t.head + 1);
        most = std::max<std::uint32_t>(most, static_cast<std::uint32_t>(t.ids.size()));
        for (const Id& id : t.ids) {
            total += 128u << id.n;
            base = std::min<std::uint32_t>(base, id.r);
        }
    }
    if (total > kMaxImage)
        return Error{EINVAL, damaged + ": its sectors hold more than a floppy disk does"};

    std::lock_guard<std::mutex> guard(lock());
    dsk_reportfunc_set(quiet, quietEnd);
    PrivateCopy copy(bytes);
    if (!copy.ok())
        return Error{errno ? errno : EIO, std::string("no room for a copy of the image: ") + std::strerror(errno)};
    Drive drive;
    const dsk_err_t opened = dsk_open(&drive, copy.path().c_str(), driver, nullptr);
    if (opened != DSK_ERR_OK)
        return Error{EINVAL, damaged + ": libdsk cannot open it (" + dsk_strerror(opened) + ")"};
    DSK_GEOMETRY found{};
    const bool known = dsk_getgeom(drive.get(), &found) == DSK_ERR_OK;

    // Each track's data rate and recording mode: the first of the usual
    // ones under which libdsk finds its sectors' address marks.
    std::vector<DSK_GEOMETRY> tries;
    if (known)
        tries.push_back(found);
    for (dsk_rate_t rate : {RATE_HD, RATE_DD, RATE_SD, RATE_ED})
        for (int fm : {RECMODE_MFM, RECMODE_FM}) {
            DSK_GEOMETRY g{};
            g.dg_sidedness = SIDES_ALT;
            g.dg_datarate = rate;
            g.dg_fm = fm;
            g.dg_rwgap = 0x2A;
            g.dg_fmtgap = 0x52;
            tries.push_back(g);
        }
    for (DSK_GEOMETRY& g : tries) {
        g.dg_cylinders = cylinders;
        g.dg_heads = heads;
        g.dg_sectors = most;
        g.dg_secbase = base;
        g.dg_secsize = 512;
        g.dg_nomulti = 1;
        g.dg_noskip = 1;
    }

    sectors::Sectors found_;
    std::string buffer;
    for (const TrackIds& t : tracks) {
        const DSK_GEOMETRY* geometry = &tries.front();
        for (const DSK_GEOMETRY& g : tries) {
            bool addressed = t.ids.empty();
            for (const Id& id : t.ids) {
                buffer.assign(128u << id.n, '\0');
                int deleted = 0;
                const dsk_err_t err = dsk_xread(drive.get(), &g, buffer.data(), t.cylinder, t.head, id.c, id.h, id.r,
                    buffer.size(), &deleted);
                if (err != DSK_ERR_NOADDR && err != DSK_ERR_BADPARM) {
                    addressed = true;
                    break;
                }
            }
            if (addressed) {
                geometry = &g;
                break;
            }
        }
        for (const Id& id : t.ids) {
            buffer.assign(128u << id.n, '\0');
            int deleted = 0;
            const dsk_err_t err = dsk_xread(drive.get(), geometry, buffer.data(), t.cylinder, t.head, id.c, id.h, id.r,
                buffer.size(), &deleted);
            sectors::Stored sector{id.c, id.h, id.r, id.n, t.cylinder * 2 + t.head, static_cast<std::uint32_t>(buffer.size()),
                                   true, 0, id.fault ? id.fault : faultOf(err)};
            if (!sector.fault)
                sector.offset = found_.keep(buffer);
            found_.list.push_back(std::move(sector));
        }
    }
    return sectors::build(nullptr, format, found_, damaged);
}

} // namespace platform::image::libdsk
