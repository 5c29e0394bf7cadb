// The bridge to libdsk (see image_libdsk.h), and TeleDisk's advanced
// compression, which the TeleDisk container unpacks itself so that libdsk
// only ever reads an image this program has walked through.
#include "image_libdsk.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <mutex>

#include <sys/mman.h>
#include <unistd.h>

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

// A private copy of the image, named for libdsk's fopen().
class Copy {
public:
    explicit Copy(const std::string& bytes)
    {
        m_fd = memfd_create("sorvane2-image", MFD_CLOEXEC);
        if (m_fd < 0)
            return;
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t wrote = ::write(m_fd, bytes.data() + done, bytes.size() - done);
            if (wrote <= 0) {
                ::close(m_fd);
                m_fd = -1;
                return;
            }
            done += static_cast<std::size_t>(wrote);
        }
        m_path = "/proc/self/fd/" + std::to_string(m_fd);
    }
    ~Copy()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Copy(const Copy&) = delete;
    Copy& operator=(const Copy&) = delete;
    bool ok() const { return m_fd >= 0; }
    const std::string& path() const { return m_path; }

private:
    int m_fd = -1;
    std::string m_path;
};

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

Result<std::string> wholeFile(const ByteFile& file, const std::string& damaged)
{
    if (file.size() > kMaxImage)
        return Error{EFBIG, damaged + ": " + std::to_string(file.size()) + " bytes, more than a floppy image holds"};
    std::string bytes(static_cast<std::size_t>(file.size()), '\0');
    const long got = file.readAt(0, bytes.data(), bytes.size());
    if (got < 0)
        return Error{errno ? errno : EIO, std::string("the image cannot be read: ") + std::strerror(errno)};
    bytes.resize(static_cast<std::size_t>(got));
    return bytes;
}

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
    Copy copy(bytes);
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

std::uint16_t teleDiskCrc(const unsigned char* data, std::size_t size, std::uint16_t crc)
{
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= static_cast<std::uint16_t>(data[i] << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<std::uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0xA097 : crc << 1);
    }
    return crc;
}

// ── TeleDisk advanced compression ──────────────────────────────────────────
//
// LZSS over a 4096-byte window preset to spaces, matches of 3 to 60 bytes,
// literals and match lengths coded together (314 symbols) by an adaptive
// Huffman code, match positions by a fixed code for their upper six bits and
// six plain bits, all read most significant bit first. The data simply ends:
// no length is stored.

namespace {

constexpr int kWindow = 4096;
constexpr int kLookahead = 60;
constexpr int kThreshold = 2;
constexpr int kSymbols = 256 - kThreshold + kLookahead; // 314
constexpr int kTable = kSymbols * 2 - 1;                 // 627
constexpr int kRoot = kTable - 1;
constexpr unsigned kMaxFreq = 0x8000;

class Unpacker {
public:
    Unpacker(const unsigned char* data, std::size_t size) : m_data(data), m_size(size)
    {
        for (int i = 0; i < kSymbols; ++i) {
            m_freq[i] = 1;
            m_son[i] = i + kTable;
            m_parent[i + kTable] = i;
        }
        int i = 0;
        for (int j = kSymbols; j <= kRoot; ++j) {
            m_freq[j] = m_freq[i] + m_freq[i + 1];
            m_son[j] = i;
            m_parent[i] = m_parent[i + 1] = j;
            i += 2;
        }
        m_freq[kTable] = 0xFFFF;
        m_parent[kRoot] = 0;
        // The position code: how many codes of each length, per upper six bits.
        static constexpr int kGroups[][2] = {{1, 32}, {3, 16}, {8, 8}, {12, 4}, {24, 2}, {16, 1}};
        int at = 0, value = 0, length = 3;
        for (const auto& [values, width] : kGroups) {
            for (int v = 0; v < values; ++v, ++value)
                for (int k = 0; k < width; ++k, ++at) {
                    m_dCode[at] = static_cast<std::uint8_t>(value);
                    m_dLen[at] = static_cast<std::uint8_t>(length);
                }
            ++length;
        }
    }

    std::optional<std::string> run(std::size_t limit)
    {
        std::string out;
        unsigned char window[kWindow];
        std::memset(window, ' ', sizeof window);
        int r = kWindow - kLookahead;
        while (!ended()) {
            const int c = decodeChar();
            if (m_past)
                break;
            if (c < 256) {
                out += static_cast<char>(c);
                window[r++] = static_cast<unsigned char>(c);
                r &= kWindow - 1;
            } else {
                const int position = decodePosition();
                if (m_past)
                    break;
                const int from = (r - position - 1) & (kWindow - 1);
                const int length = c - 255 + kThreshold;
                for (int k = 0; k < length; ++k) {
                    const unsigned char b = window[(from + k) & (kWindow - 1)];
                    out += static_cast<char>(b);
                    window[r++] = b;
                    r &= kWindow - 1;
                }
            }
            if (out.size() > limit)
                return std::nullopt;
        }
        return out;
    }

private:
    // All input bits read, or only the padding of the last byte left.
    bool ended() const { return m_next >= m_size && m_bits == 0; }

    int bit()
    {
        if (m_bits == 0) {
            if (m_next >= m_size) {
                m_past = true;
                return 0;
            }
            m_buffer = m_data[m_next++];
            m_bits = 8;
        }
        --m_bits;
        return (m_buffer >> m_bits) & 1;
    }

    int byte()
    {
        int value = 0;
        for (int k = 0; k < 8; ++k)
            value = (value << 1) | bit();
        return value;
    }

    int decodeChar()
    {
        int c = m_son[kRoot];
        while (c < kTable) {
            c += bit();
            c = m_son[c];
        }
        c -= kTable;
        update(c);
        return c;
    }

    int decodePosition()
    {
        int i = byte();
        const int upper = m_dCode[i] << 6;
        for (int j = m_dLen[i] - 2; j > 0; --j)
            i = (i << 1) | bit();
        return upper | (i & 0x3F);
    }

    void reconstruct()
    {
        int j = 0;
        for (int i = 0; i < kTable; ++i)
            if (m_son[i] >= kTable) {
                m_freq[j] = (m_freq[i] + 1) / 2;
                m_son[j] = m_son[i];
                ++j;
            }
        for (int i = 0, k = kSymbols; k < kTable; i += 2, ++k) {
            unsigned f = m_freq[k] = m_freq[i] + m_freq[i + 1];
            int l = k - 1;
            while (f < m_freq[l])
                --l;
            ++l;
            std::memmove(&m_freq[l + 1], &m_freq[l], (k - l) * sizeof m_freq[0]);
            m_freq[l] = f;
            std::memmove(&m_son[l + 1], &m_son[l], (k - l) * sizeof m_son[0]);
            m_son[l] = i;
        }
        for (int i = 0; i < kTable; ++i) {
            const int k = m_son[i];
            m_parent[k] = i;
            if (k < kTable)
                m_parent[k + 1] = i;
        }
    }

    void update(int c)
    {
        if (m_freq[kRoot] == kMaxFreq)
            reconstruct();
        c = m_parent[c + kTable];
        do {
            unsigned k = ++m_freq[c];
            int l = c + 1;
            if (k > m_freq[l]) {
                while (k > m_freq[++l]) {
                }
                --l;
                m_freq[c] = m_freq[l];
                m_freq[l] = k;
                int i = m_son[c];
                m_parent[i] = l;
                if (i < kTable)
                    m_parent[i + 1] = l;
                int j = m_son[l];
                m_son[l] = i;
                m_parent[j] = c;
                if (j < kTable)
                    m_parent[j + 1] = c;
                m_son[c] = j;
                c = l;
            }
        } while ((c = m_parent[c]) != 0);
    }

    const unsigned char* m_data;
    std::size_t m_size;
    std::size_t m_next = 0;
    unsigned m_buffer = 0;
    int m_bits = 0;
    bool m_past = false;
    unsigned m_freq[kTable + 1];
    int m_parent[kTable + kSymbols];
    int m_son[kTable];
    std::uint8_t m_dCode[256];
    std::uint8_t m_dLen[256];
};

} // namespace

std::optional<std::string> unpackTeleDisk(const unsigned char* data, std::size_t size, std::size_t limit)
{
    return Unpacker(data, size).run(limit);
}

} // namespace platform::image::libdsk
