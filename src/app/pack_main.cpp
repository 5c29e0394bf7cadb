// sorvane2-pack: one pack run of a drive without a window, for scripts and
// machines without a display. The same engine, modules and stored settings
// as the program; history lines on stdout, message boxes on stderr.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>
#include <string>
#include <vector>

#include "app/image_batch.h"
#include "app/pack_console.h"
#include "engine/archiver_library.h"
#include "engine/basvelt.h"
#include "engine/pack_drive.h"
#include "naming/naming.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "text/catalogue.h"

namespace {

constexpr const char* kUsage = R"(Usage: sorvane2-pack --drive X: (--name NAME | --label) --folder FOLDER [options]

Packs the whole drive into one archive in FOLDER, as the program's execute
buttons do, with the stored settings (the program's Options) unless overridden.

  --drive X:           the source drive (a drive letter and colon)
  --name NAME          the archive's base name (the extension is added)
  --label              name the archive after the drive's volume label
                       (not with --name or --count-up)
  --folder FOLDER      the storage folder, a drive path such as "C:\ARC"
  --mode MODE          normal (default), store or double
  --count-up           after a successful run, print the name that comes next
                       (NAME with its trailing number raised by one)
Overrides for this run only (the store is not changed):
  --format lzh|zip     archive format of normal and store runs
  --pattern 0..3       double compression: 0 .LZH.LZH, 1 .LZH.ZIP, 2 .ZIP.LZH, 3 .ZIP.ZIP
  --subdir, --no-subdir            include subfolders
  --hidden, --no-hidden            include hidden and system files
  --ucase, --no-ucase              upper-case the archive name
  --double-update, --no-double-update   update an existing double archive
  --tmp FOLDER         the temporary folder, a drive path; it must exist and
                       lie off the source drive
  --images FILE|FOLDER...
                       instead of --drive: pack every disk image given (a
                       folder gives its image files) into its own archive,
                       named by its label (--label) or by the count-up from
                       --name (DISK01, DISK02 ...); ends with a summary line.
                       Each FAT partition of a hard disk image packs into
                       an archive of its own: its label, else the image's
                       name and the partition's number (HDD-2), or the next
                       count-up name
)";

// After the lines on --jobs, which say how this system runs the packs.
constexpr const char* kUsageOptionsEnd = R"(  --version            the program's version
  --help               this text

)";

// After the paragraph on this system's paths.
constexpr const char* kUsageEnd = R"(
Output: the history lines of the run on stdout, ending with the closing line;
after a successful run the line "archive: " and the archive's drive path
(such as "archive: C:\ARC\DISK01.LZH"), and with --count-up the line
"next: " and the next name (DISK09 gives "next: DISK10"). Messages, the
library's reason for a failure and progress (on a terminal) go to stderr.

Exit status: 0 the archive was written (and counted up when asked);
1 the run was refused or failed (nothing of the source or of an existing
archive is changed then); 2 a bad command line or SORVANE2_DRIVES setting;
3 the archive was written but the name cannot be counted up. With --images:
0 every image packed, 1 one or more failed; )";

struct Sinks : engine::HistorySink, engine::MessageBoxes {
    void ListInAdd(const std::string& line) override
    {
        endProgress();
        app::write(stdout, line + "\n");
        std::fflush(stdout);
    }
    void show(const std::string& text) override
    {
        endProgress();
        app::write(stderr, text + "\n");
    }
    void endProgress()
    {
        if (progressShown) {
            app::write(stderr, "\r\033[K");
            progressShown = false;
        }
    }
    bool progressShown = false;
};

struct Archives : engine::ArchiveListSink {
    std::vector<std::string> paths;
    void ListInAdd(const std::string& path) override { paths.push_back(path); }
};

Sinks* g_sinks = nullptr;

bool showProgress(void*, unsigned long long done, unsigned long long total, const char* entry)
{
    if (g_sinks) {
        char amounts[64];
        std::snprintf(amounts, sizeof amounts, "%6.1f / %.1f MB  ", static_cast<double>(done) / 1e6,
            static_cast<double>(total) / 1e6);
        app::write(stderr, "\r\033[K" + std::string(amounts) + (entry ? entry : ""));
        g_sinks->progressShown = true;
    }
    return false;
}

std::string message(std::int16_t id)
{
    return std::string(resSorvane::ResText(id));
}

int badLine(const std::string& why)
{
    app::write(stderr, "sorvane2-pack: " + why + "\n(see sorvane2-pack --help)\n");
    return 2;
}

// A Linux path where a drive path belongs: say which drive path reaches it.
std::optional<std::string> nativePathProblem(const char* option, const std::string& value)
{
    if (value.empty() || value[0] != '/')
        return std::nullopt;
    const platform::Result<std::string> dialect = platform::toDialect(value);
    return std::string(option) + " takes a drive path, not the Linux path " + value
        + (dialect ? " (try " + *dialect + ")" : "");
}

} // namespace

int main(int argc, char* argv[])
{
    const app::Console console;
    std::vector<std::string> arguments = platform::programArguments(argc, argv);
    std::vector<char*> pointers;
    for (std::string& each : arguments)
        pointers.push_back(each.data());
    pointers.push_back(nullptr);
    argc = static_cast<int>(arguments.size());
    argv = pointers.data();
    std::string drive, name, folder, mode = "normal", tmp;
    bool label = false, countUp = false;
    std::vector<std::string> images;
    bool imagesGiven = false;
    std::optional<unsigned> jobs;
    settings::ProgramSettings record;
    settings::LoadSettings(record);
    std::optional<bool> subdir, hidden, ucase, doubleUpdate;
    std::optional<std::int16_t> pattern, format;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= argc)
                return std::nullopt;
            return std::string(argv[++i]);
        };
        std::optional<std::string> v;
        if (arg == "--help" || arg == "-h") {
            for (const char* part : {kUsage, app::jobsHelp(), kUsageOptionsEnd, app::pathsHelp(), kUsageEnd,
                     app::interruptHelp()})
                app::write(stdout, part);
            return 0;
        } else if (arg == "--version") {
            app::write(stdout, std::string("sorvane2-pack (Sorvane2) ") + SORVANE2_VERSION + "\n");
            return 0;
        } else if (arg == "--drive" && (v = value())) {
            drive = *v;
        } else if (arg == "--name" && (v = value())) {
            name = *v;
        } else if (arg == "--folder" && (v = value())) {
            folder = *v;
        } else if (arg == "--mode" && (v = value())) {
            mode = *v;
        } else if (arg == "--tmp" && (v = value())) {
            tmp = *v;
        } else if (arg == "--format" && (v = value())) {
            if (*v != "lzh" && *v != "zip")
                return badLine("--format takes lzh or zip");
            format = *v == "lzh" ? 0 : 1;
        } else if (arg == "--pattern" && (v = value())) {
            if (v->size() != 1 || (*v)[0] < '0' || (*v)[0] > '3')
                return badLine("--pattern takes 0, 1, 2 or 3");
            pattern = static_cast<std::int16_t>((*v)[0] - '0');
        } else if (arg == "--images") {
            imagesGiven = true;
            while (i + 1 < argc && std::strncmp(argv[i + 1], "--", 2) != 0)
                images.emplace_back(argv[++i]);
            if (images.empty())
                return badLine("--images needs image files or folders");
        } else if (arg == "--jobs" && (v = value())) {
            char* end = nullptr;
            errno = 0;
            const unsigned long n = std::strtoul(v->c_str(), &end, 10);
            if (v->empty() || !std::isdigit(static_cast<unsigned char>((*v)[0])) || *end != '\0' || errno != 0
                || n < 1 || n > 1024)
                return badLine("--jobs takes a number of images at once, from 1 to 1024");
            jobs = static_cast<unsigned>(n);
        } else if (arg == "--label") {
            label = true;
        } else if (arg == "--count-up") {
            countUp = true;
        } else if (arg == "--subdir" || arg == "--no-subdir") {
            subdir = arg == "--subdir";
        } else if (arg == "--hidden" || arg == "--no-hidden") {
            hidden = arg == "--hidden";
        } else if (arg == "--ucase" || arg == "--no-ucase") {
            ucase = arg == "--ucase";
        } else if (arg == "--double-update" || arg == "--no-double-update") {
            doubleUpdate = arg == "--double-update";
        } else {
            return badLine("unknown or incomplete option " + arg);
        }
    }
    if (imagesGiven && !drive.empty())
        return badLine("--images and --drive exclude each other");
    if (jobs && !imagesGiven)
        return badLine("--jobs goes with --images");
    if (!imagesGiven && (drive.size() != 2 || drive[1] != ':' || !std::isalpha(static_cast<unsigned char>(drive[0]))))
        return badLine("--drive needs a drive such as a:");
    if (folder.empty())
        return badLine("--folder is required");
    if (label && !name.empty())
        return badLine("--name and --label choose the name in two ways; give one");
    if (label && countUp)
        return badLine("--count-up counts a typed --name, not a label");
    if (!label && name.empty())
        return badLine("--name or --label is required");
    for (const auto& [option, value] : {std::pair{"--folder", folder}, std::pair{"--tmp", tmp}})
        if (const auto problem = nativePathProblem(option, value))
            return badLine(*problem);
    if (const std::string problem = platform::driveMapProblem(); !problem.empty())
        return badLine("SORVANE2_DRIVES: " + problem);
    std::int16_t packMode;
    if (mode == "normal")
        packMode = engine::Normal;
    else if (mode == "store")
        packMode = engine::Store;
    else if (mode == "double")
        packMode = engine::Double;
    else
        return badLine("--mode takes normal, store or double");

    engine::PackSettings pack;
    pack.TmpDir = tmp.empty() ? record.TmpDir : tmp;
    pack.Lzh_Option = record.Lzh_Option;
    pack.SubDir = subdir.value_or(record.SubDir);
    pack.Hiddn = hidden.value_or(record.Hiddn);
    pack.UCase = ucase.value_or(record.UCase);
    pack.Double = doubleUpdate.value_or(record.Double);
    pack.Pattern = pattern.value_or(record.Pattern);
    pack.AshukuExe = format.value_or(record.AshukuExe);

    Sinks sinks;
    g_sinks = console.showsProgress() ? &sinks : nullptr;
    engine::LibrarySet libraries = engine::loadLibraries(basVelt::GetSystemFolder(), g_sinks ? showProgress : nullptr);
    if (!libraries.availability.lzh) {
        sinks.show(message(205));
        return 1;
    }
    if (libraries.availability.lzhVersion < 104)
        sinks.show(message(206));

    if (imagesGiven) {
        app::BatchRequest request{images, label, name, jobs.value_or(app::defaultJobs())};
        // Called in each image's own process.
        auto packOne = [&](char letter, const std::string& archiveName) {
            Archives archives;
            engine::Engine engine(pack, libraries, sinks, archives, sinks);
            const std::int16_t outcome =
                engine.PackDrive(std::string{letter, ':', '\\'}, archiveName, folder, packMode);
            sinks.ListInAdd(std::string(resVelt::ResText(outcome == 0 ? 31 : 30)));
            if (outcome != 0 && !engine.failureCause().empty())
                app::write(stderr, "sorvane2-pack: " + engine.failureCause() + "\n");
            for (const std::string& path : archives.paths)
                app::write(stdout, "archive: " + path + "\n");
            return outcome;
        };
        app::BatchOutput output;
        output.print = [&](const std::string& line) { sinks.ListInAdd(line); };
        output.write = [&](int fd, const std::string& bytes) {
            sinks.endProgress();
            std::FILE* stream = fd == 2 ? stderr : stdout;
            std::fflush(fd == 2 ? stdout : stderr); // what came before stays before
            app::write(stream, bytes);
            std::fflush(stream);
        };
        if (g_sinks)
            output.progress = [&](size_t done, size_t total) {
                app::write(stderr, "\r\033[K" + std::to_string(done) + " / " + std::to_string(total) + " images");
                sinks.progressShown = true;
            };
        output.inChild = [&] {
            g_sinks = nullptr;
            sinks.progressShown = false;
        };
        const char before = platform::currentDrive();
        const int status = app::runImageBatch(request, packOne, output);
        sinks.endProgress();
        (void)platform::changeDrive(before);
        return status;
    }

    // The pack run: the drive, the name, the engine, the closing line, the count.
    const char letter = static_cast<char>(std::tolower(static_cast<unsigned char>(drive[0])));
    const char before = platform::currentDrive();
    if (const platform::Result<void> entered = platform::changeDrive(letter); !entered) {
        sinks.show(message(301));
        app::write(stderr, "sorvane2-pack: " + entered.error().message + "\n");
        return 1;
    }
    const std::string archiveName = naming::trimmed(label ? naming::driveLabel(letter) : name);
    if (archiveName.empty()) {
        sinks.show(message(300));
        (void)platform::changeDrive(before);
        return 1;
    }
    if (label && !naming::usableAsFileName(archiveName)) {
        sinks.show(message(20206) + "\n「" + archiveName + "」");
        (void)platform::changeDrive(before);
        return 1;
    }
    Archives archives;
    engine::Engine engine(pack, libraries, sinks, archives, sinks);
    const std::int16_t outcome =
        engine.PackDrive(std::string{letter, ':', '\\'}, archiveName, folder, packMode);
    sinks.ListInAdd(std::string(resVelt::ResText(outcome == 0 ? 31 : 30)));
    (void)platform::changeDrive(before);
    if (outcome != 0) {
        if (!engine.failureCause().empty())
            app::write(stderr, "sorvane2-pack: " + engine.failureCause() + "\n");
        return 1;
    }
    for (const std::string& path : archives.paths)
        app::write(stdout, "archive: " + path + "\n");
    if (countUp) {
        const naming::CountUp next = naming::countUp(name);
        if (!next.counted) {
            sinks.show(message(next.messageId));
            return 3;
        }
        app::write(stdout, "next: " + next.name + "\n");
    }
    return 0;
}
