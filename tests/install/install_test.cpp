// The installed program: `cmake --install` into a fresh prefix, then both
// programs started from there with nothing in the environment pointing at
// their files; the desktop entry, metainfo, icons and manual pages as the
// desktop's own validators see them; the copyright file against the
// libraries the installed programs really load.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <vector>

#include <gtest/gtest.h>

#include "support/archive_support.h"
#include "support/testsupport.h"
#include "text/catalogue.h"

namespace {

using namespace testsupport;

const std::string kAppId = SORVANE2_APP_ID;

// A child's environment: none of the program's own variables, a private
// settings folder, no display.
std::string cleanEnv(const std::string& config)
{
    return "env -u SORVANE2_SYSTEM_DIR -u SORVANE2_DRIVES -u SORVANE2_SELF_CHECK -u SORVANE2_CONFIG_DIR"
           " QT_QPA_PLATFORM=offscreen SORVANE2_CONFIG_DIR="
        + quote(config) + " ";
}

// The width and height stored in a PNG file's header, or {0, 0}.
std::pair<unsigned, unsigned> pngSize(const std::string& path)
{
    const std::string data = readFile(path);
    if (data.size() < 24 || data.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0 || data.compare(12, 4, "IHDR") != 0)
        return {0, 0};
    auto word = [&](size_t at) {
        unsigned value = 0;
        for (size_t i = 0; i < 4; ++i)
            value = value << 8 | static_cast<unsigned char>(data[at + i]);
        return value;
    };
    return {word(16), word(20)};
}

// Whether a command is on the PATH.
bool haveCommand(const std::string& name)
{
    return shell("command -v " + quote(name) + " >/dev/null").exitCode == 0;
}

// The shared libraries `file` loads, as the dynamic linker resolves them:
// soname -> path. A library the linker cannot find lands in `missing`.
std::map<std::string, std::string> linkedLibraries(const std::string& file, std::vector<std::string>& missing)
{
    std::map<std::string, std::string> libraries;
    const CommandResult ldd = shell("ldd " + quote(file));
    EXPECT_EQ(ldd.exitCode, 0) << file << "\n" << ldd.output;
    std::istringstream lines(ldd.output);
    std::string line;
    // "\tlibz.so.1 => /lib/x86_64-linux-gnu/libz.so.1 (0x...)"; the vDSO and
    // the dynamic linker itself have no arrow.
    const std::regex resolved(R"(^\s*(\S+) => (.*?)(?: \(0x[0-9a-f]+\))?$)");
    while (std::getline(lines, line)) {
        std::smatch match;
        if (!std::regex_match(line, match, resolved))
            continue;
        if (match[2] == "not found")
            missing.push_back(file + ": " + match[1].str());
        else
            libraries[match[1]] = match[2];
    }
    return libraries;
}

// The Debian package that installed each library (as ldd names it); a
// library no package installed is left out. dpkg knows each file by the path
// its package ships, which may be the soname link or the file it points to,
// and on a merged /usr with or without the /usr in front; one dpkg call asks
// for all of them.
std::map<std::string, std::string> owningPackages(const std::set<std::string>& libraries)
{
    std::map<std::string, std::vector<std::string>> candidates;
    std::string command = "dpkg -S";
    for (const std::string& library : libraries) {
        std::vector<std::string>& names = candidates[library];
        names.push_back(library);
        std::error_code error;
        const std::filesystem::path real = std::filesystem::canonical(library, error);
        if (!error) {
            names.push_back(real.string());
            if (real.string().rfind("/usr/", 0) == 0)
                names.push_back(real.string().substr(4));
            names.push_back((std::filesystem::path(library).parent_path() / real.filename()).string());
        }
        for (const std::string& name : names)
            command += " " + quote(name);
    }
    // "libqt6core6:amd64: /usr/lib/x86_64-linux-gnu/libQt6Core.so.6.4.2"; the
    // paths no package has are reported as errors, which count for nothing.
    std::map<std::string, std::string> owners;
    std::istringstream lines(shell(command).output);
    const std::regex owned(R"(^([a-z0-9][a-z0-9+.-]*)(?::[a-z0-9]+)?(?:, [^:]+(?::[a-z0-9]+)?)*: (/.*)$)");
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        if (std::regex_match(line, match, owned))
            owners.emplace(match[2], match[1]);
    }
    std::map<std::string, std::string> packages;
    for (const auto& [library, names] : candidates) {
        for (const std::string& name : names) {
            if (const auto owner = owners.find(name); owner != owners.end()) {
                packages[library] = owner->second;
                break;
            }
        }
    }
    return packages;
}

// Whether `text` names `word` as a whole name: not as part of a longer
// package or file name (libcap2 is not named by libcap2-bin).
bool namesWhole(const std::string& text, const std::string& word)
{
    auto partOfName = [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '+' || c == '_';
    };
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
        const size_t end = at + word.size();
        const bool startsName = at == 0 || !(partOfName(text[at - 1]) || text[at - 1] == '.');
        const bool endsName = end == text.size()
            || (!partOfName(text[end])
                && !(text[end] == '.' && end + 1 < text.size() && std::isalnum(static_cast<unsigned char>(text[end + 1]))));
        if (startsName && endsName)
            return true;
    }
    return false;
}

// A gzip member's header: whether it carries neither the original file name
// nor a time stamp (gzip -n), so that two builds give the same bytes.
bool gzipWithoutNameOrTime(const std::string& data)
{
    constexpr unsigned char kFileName = 0x08;
    return data.size() > 10 && static_cast<unsigned char>(data[0]) == 0x1f && static_cast<unsigned char>(data[1]) == 0x8b
        && (static_cast<unsigned char>(data[3]) & kFileName) == 0 && data.compare(4, 4, std::string(4, '\0')) == 0;
}

class Installed : public ::testing::Test {
protected:
    void SetUp() override
    {
        const CommandResult install = shell(quote(SORVANE2_CMAKE_COMMAND) + " --install " + quote(SORVANE2_BUILD_DIR)
            + " --prefix " + quote(m_prefix) + " 2>&1");
        ASSERT_EQ(install.exitCode, 0) << install.output;
    }
    std::string path(const std::string& relative) const { return m_prefix + "/" + relative; }

    TempDir m_dir;
    const std::string m_prefix = m_dir / "prefix";
    const std::string m_config = m_dir / "config";
};

TEST_F(Installed, TheWindowProgramFindsItsModulesAndHelpPageWithNoEnvironment)
{
    const CommandResult run = shell(cleanEnv(m_config) + "SORVANE2_SELF_CHECK=1 " + quote(path("bin/sorvane2")));
    ASSERT_EQ(run.exitCode, 0) << run.output;
    // The modules' folder is the installed one, in the program's drive dialect.
    EXPECT_NE(run.output.find("modules: Z:" + std::regex_replace(path(SORVANE2_INSTALL_MODULEDIR), std::regex("/"), "\\")),
        std::string::npos)
        << run.output;
    for (const char* library : {"UNLHA32.DLL", "UNZIP32.DLL", "ZIP32J.DLL"})
        EXPECT_NE(run.output.find(std::string("library: ") + library + " "), std::string::npos) << library << run.output;
    EXPECT_NE(run.output.find("help: " + path(SORVANE2_INSTALL_DATADIR "/Sorvane2.html") + " (found)"), std::string::npos)
        << run.output;
    EXPECT_FALSE(exists(m_config)) << "a check run saves nothing";
}

TEST_F(Installed, TheSystemFolderVariableStillOverridesTheInstalledModules)
{
    makeDirs(m_dir / "empty");
    CommandResult run = shell(cleanEnv(m_config) + "SORVANE2_SELF_CHECK=1 SORVANE2_SYSTEM_DIR=" + quote(m_dir / "empty")
        + " " + quote(path("bin/sorvane2")));
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_NE(run.output.find(std::string(resSorvane::ResText(205))), std::string::npos) << run.output;

    makeDirs(m_dir / "disk");
    writeFile(m_dir / "disk/A.TXT", "a");
    run = shell(cleanEnv(m_config) + "SORVANE2_SYSTEM_DIR=" + quote(m_dir / "empty") + " SORVANE2_DRIVES="
        + quote("a=" + m_dir.path() + "/disk;d=" + m_dir.path()) + " " + quote(path("bin/sorvane2-pack"))
        + " --drive a: --name X --folder 'D:\\'");
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_FALSE(exists(m_dir / "X.LZH"));
}

TEST_F(Installed, ThePackCommandPacksAMappedFolderWithTheInstalledModules)
{
    makeSampleTree(m_dir / "disk");
    makeDirs(m_dir / "arc");
    makeDirs(m_dir / "tmp");
    const auto before = readTree(m_dir / "disk");
    const std::string drives = "a=" + m_dir.path() + "/disk|SAMPLE;c=" + m_dir.path() + "/tmp;d=" + m_dir.path() + "/arc";
    struct Case {
        const char* options;
        const char* archive;
    } cases[] = {
        {"--name DISK01", "DISK01.LZH"},
        {"--label --format zip", "SAMPLE.ZIP"},
        {"--name DISK02 --mode double --pattern 1", "DISK02.LZH.ZIP"},
    };
    for (const Case& c : cases) {
        const CommandResult run = shell(cleanEnv(m_config) + "SORVANE2_DRIVES=" + quote(drives) + " "
            + quote(path("bin/sorvane2-pack")) + " --drive a: --folder 'D:\\' --tmp 'C:\\' --hidden " + c.options);
        ASSERT_EQ(run.exitCode, 0) << c.options << "\n" << run.output;
        ASSERT_TRUE(exists(m_dir / (std::string("arc/") + c.archive))) << c.options << "\n" << run.output;
    }
    // Read back by other programs: every file of the disk, byte for byte.
    for (const char* archive : {"DISK01.LZH", "SAMPLE.ZIP"}) {
        const std::string out = m_dir / (std::string("out-") + archive);
        makeDirs(out);
        const CommandResult extracted =
            shell("bsdtar -xf " + quote(m_dir / (std::string("arc/") + archive)) + " -C " + quote(out));
        ASSERT_EQ(extracted.exitCode, 0) << extracted.output;
        for (const auto& [name, file] : before) {
            if (!file.folder) {
                EXPECT_EQ(readFile(out + "/" + name), file.content) << archive << ": " << name;
            }
        }
    }
    EXPECT_EQ(shell("lhasa t " + quote(m_dir / "arc/DISK01.LZH")).exitCode, 0);
    const auto after = readTree(m_dir / "disk");
    ASSERT_EQ(after.size(), before.size());
    for (const auto& [name, file] : before) {
        ASSERT_TRUE(after.count(name)) << name;
        EXPECT_EQ(after.at(name).content, file.content) << name;
        EXPECT_EQ(after.at(name).mtime, file.mtime) << name;
    }

    const CommandResult version = shell(quote(path("bin/sorvane2-pack")) + " --version");
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.output, "sorvane2-pack (Sorvane2) " SORVANE2_VERSION "\n");
}

TEST_F(Installed, TheDesktopFilesPassTheDesktopsValidators)
{
    const std::string desktop = path("share/applications/" + kAppId + ".desktop");
    const std::string metainfo = path("share/metainfo/" + kAppId + ".metainfo.xml");
    CommandResult run = shell("desktop-file-validate " + quote(desktop) + " 2>&1");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(run.output, "") << "warnings count too";
    run = shell("appstreamcli validate --no-net " + quote(metainfo) + " 2>&1");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    const std::string entry = readFile(desktop);
    EXPECT_NE(entry.find("\nExec=sorvane2\n"), std::string::npos) << entry;
    EXPECT_NE(entry.find("\nIcon=" + kAppId + "\n"), std::string::npos) << entry;
    EXPECT_NE(entry.find("\nName[en]=Sorvane2\n"), std::string::npos) << entry;
    EXPECT_EQ(entry.find("MimeType"), std::string::npos) << "the program opens drives, not files";

    // One picture at every size, and the drawing it comes from.
    std::istringstream sizes(SORVANE2_ICON_SIZES);
    unsigned size = 0;
    int count = 0;
    while (sizes >> size) {
        const std::string icon = path("share/icons/hicolor/" + std::to_string(size) + "x" + std::to_string(size)
            + "/apps/" + kAppId + ".png");
        EXPECT_EQ(pngSize(icon), std::make_pair(size, size)) << icon;
        ++count;
    }
    EXPECT_GE(count, 6);
    EXPECT_NE(readFile(path("share/icons/hicolor/scalable/apps/" + kAppId + ".svg")).find("<svg"), std::string::npos);
}

TEST_F(Installed, TheManualPageDescribesEveryOptionOfTheHelpText)
{
    const CommandResult page = shell("gzip -dc " + quote(path(SORVANE2_INSTALL_MANDIR "/man1/sorvane2-pack.1.gz")));
    ASSERT_EQ(page.exitCode, 0) << page.output;
    EXPECT_NE(page.output.find(".TH SORVANE2-PACK 1"), std::string::npos);
    EXPECT_NE(page.output.find(SORVANE2_VERSION), std::string::npos);
    const CommandResult help = shell(quote(path("bin/sorvane2-pack")) + " --help");
    ASSERT_EQ(help.exitCode, 0);
    std::set<std::string> options{"--version"};
    const std::regex option("--[a-z][a-z-]*");
    for (auto it = std::sregex_iterator(help.output.begin(), help.output.end(), option); it != std::sregex_iterator(); ++it)
        options.insert(it->str());
    EXPECT_GE(options.size(), 15u);
    for (const std::string& name : options) {
        // roff writes each hyphen of an option as \-.
        const std::string written = std::regex_replace(name, std::regex("-"), "\\-");
        EXPECT_NE(page.output.find(written), std::string::npos) << name << " is not in the manual page";
    }
    for (const char* section : {".SH EXIT STATUS", ".SH EXAMPLES", ".SH ENVIRONMENT", "SORVANE2_DRIVES"})
        EXPECT_NE(page.output.find(section), std::string::npos) << section;
}

TEST_F(Installed, TheCopyrightFileNamesEveryLibraryTheProgramsAndModulesLoad)
{
    if (!haveCommand("ldd") || !haveCommand("dpkg"))
        GTEST_SKIP() << "needs ldd and dpkg";
    const std::string copyright = readFile(path(SORVANE2_INSTALL_DOCDIR "/copyright"));
    ASSERT_EQ(copyright.rfind("Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n", 0), 0u)
        << copyright.substr(0, 200);
    EXPECT_NE(copyright.find("\nFiles: *\nCopyright: 2026 The Sorvane2 authors\nLicense: Expat\n"), std::string::npos);

    std::vector<std::string> files{path("bin/sorvane2"), path("bin/sorvane2-pack")};
    for (const auto& entry : std::filesystem::directory_iterator(path(SORVANE2_INSTALL_MODULEDIR)))
        if (entry.is_regular_file())
            files.push_back(entry.path().string());
    ASSERT_GE(files.size(), 6u) << "both programs and the four archiver modules";

    // The C and C++ run-time every program links, and the sanitizers' run-time
    // of a sanitized build (never in the package), need no paragraph.
    const std::set<std::string> runtime{"libc6", "libgcc-s1", "libstdc++6"};
    auto sanitizerRuntime = [](const std::string& package) {
        return std::regex_match(package, std::regex("lib(asan|ubsan|lsan|tsan)[0-9]+"));
    };
    std::vector<std::string> missing;
    std::map<std::string, std::map<std::string, std::string>> linked; // file -> soname -> path
    std::set<std::string> paths;
    for (const std::string& file : files) {
        linked[file] = linkedLibraries(file, missing);
        for (const auto& [soname, library] : linked[file])
            paths.insert(library);
    }
    const std::map<std::string, std::string> owners = owningPackages(paths);
    std::set<std::string> checked;
    for (const auto& [file, libraries] : linked) {
        for (const auto& [soname, library] : libraries) {
            // Our own library (the ZIP engine the ZIP modules share).
            if (library.rfind(m_prefix + "/", 0) == 0)
                continue;
            const auto owner = owners.find(library);
            if (owner == owners.end()) {
                ADD_FAILURE() << file << " loads " << library << ", which no Debian package installed";
                continue;
            }
            const std::string& package = owner->second;
            if (runtime.count(package) || sanitizerRuntime(package) || !checked.insert(package + " " + soname).second)
                continue;
            EXPECT_TRUE(namesWhole(copyright, package) || namesWhole(copyright, soname))
                << file << " loads " << soname << " (package " << package << "), which "
                << SORVANE2_INSTALL_DOCDIR "/copyright does not name";
        }
    }
    EXPECT_TRUE(missing.empty()) << ::testing::PrintToString(missing);
    // The window program's own libraries were among them.
    EXPECT_TRUE(std::any_of(checked.begin(), checked.end(),
        [](const std::string& seen) { return seen.find(" libQt6Widgets.so.6") != std::string::npos; }));
}

TEST_F(Installed, TheWindowProgramsManualPageRendersAndDescribesItsSwitchAndEnvironment)
{
    const std::string manDir = path(SORVANE2_INSTALL_MANDIR "/man1");
    const std::string page = manDir + "/sorvane2.1.gz";
    ASSERT_TRUE(exists(page)) << page;
    const CommandResult source = shell("gzip -dc " + quote(page));
    ASSERT_EQ(source.exitCode, 0) << source.output;
    EXPECT_NE(source.output.find("\n.TH SORVANE2 1 "), std::string::npos);
    EXPECT_NE(source.output.find(SORVANE2_VERSION), std::string::npos);
    EXPECT_EQ(source.output.find('@'), std::string::npos) << "a configure variable left unfilled";
    for (const char* part : {".SH NAME\nsorvane2 \\- ", ".SH SYNOPSIS", ".B sorvane2 /U", ".SH DISK IMAGES",
             ".SH ENVIRONMENT", ".SH FILES", "Brelmoor.ini", ".BR sorvane2\\-pack (1)"})
        EXPECT_NE(source.output.find(part), std::string::npos) << part;

    // Every variable of the program's own that the sources read is described
    // (the internal ones say that they are not for users).
    std::set<std::string> variables;
    const CommandResult grep = shell("grep -rhoE '\"SORVANE2_[A-Z_]+\"' " + quote(SORVANE2_SOURCE_DIR "/src"));
    ASSERT_EQ(grep.exitCode, 0) << grep.output;
    std::istringstream found(grep.output);
    for (std::string name; std::getline(found, name);)
        variables.insert(name.substr(1, name.size() - 2));
    EXPECT_GE(variables.size(), 5u) << grep.output;
    for (const std::string& name : variables)
        EXPECT_NE(source.output.find(".B " + name + "\n"), std::string::npos) << name << " is not in the manual page";

    // Both pages as man and lexgrog read them, with the warnings lintian
    // reports; where man-db is missing, the roff source must at least hold its
    // title and name sections.
    for (const std::string name : {"sorvane2", "sorvane2-pack"}) {
        const std::string file = manDir + "/" + name + ".1.gz";
        if (!haveCommand("man")) {
            const CommandResult roff = shell("gzip -dc " + quote(file));
            EXPECT_EQ(roff.exitCode, 0) << file;
            EXPECT_NE(roff.output.find("\n.TH "), std::string::npos) << file;
            EXPECT_NE(roff.output.find("\n.SH NAME\n"), std::string::npos) << file;
            continue;
        }
        const std::string env = "env -i PATH=\"$PATH\" LC_ALL=C.UTF-8 MANROFFSEQ= MANWIDTH=80 ";
        const CommandResult warnings = shell("{ " + env + "man --warnings -E UTF-8 -l -Tutf8 -Z " + quote(file) + " >/dev/null; }");
        EXPECT_EQ(warnings.exitCode, 0) << file << "\n" << warnings.output;
        EXPECT_EQ(warnings.output, "") << file;
        const CommandResult rendered = shell(env + "man -l " + quote(file));
        EXPECT_EQ(rendered.exitCode, 0) << rendered.output;
        for (const char* heading : {"NAME", "SYNOPSIS", "DESCRIPTION", "ENVIRONMENT", "SEE ALSO"})
            EXPECT_NE(rendered.output.find(std::string("\n") + heading + "\n"), std::string::npos) << file << ": " << heading;
        if (haveCommand("lexgrog")) {
            const CommandResult whatis = shell("env -i PATH=\"$PATH\" LC_ALL=C.UTF-8 lexgrog " + quote(file));
            EXPECT_EQ(whatis.exitCode, 0) << whatis.output;
            EXPECT_NE(whatis.output.find(": \"" + name + " - "), std::string::npos) << whatis.output;
        }
    }
}

TEST_F(Installed, TheChangelogAndManualPagesAreCompressedReproducibly)
{
    const std::string changelog = path(SORVANE2_INSTALL_DOCDIR "/changelog.gz");
    for (const std::string& file : {changelog, path(SORVANE2_INSTALL_MANDIR "/man1/sorvane2.1.gz"),
             path(SORVANE2_INSTALL_MANDIR "/man1/sorvane2-pack.1.gz")}) {
        EXPECT_TRUE(gzipWithoutNameOrTime(readFile(file))) << file << ": compress with gzip -n";
        EXPECT_EQ(shell("gzip -t " + quote(file)).exitCode, 0) << file;
    }
    // The newest entry is this version, in Debian's changelog format.
    const CommandResult text = shell("gzip -dc " + quote(changelog));
    ASSERT_EQ(text.exitCode, 0) << text.output;
    EXPECT_EQ(text.output.rfind("sorvane2 (" SORVANE2_VERSION ") ", 0), 0u) << text.output.substr(0, 200);
    if (haveCommand("dpkg-parsechangelog")) {
        const CommandResult parsed =
            shell("gzip -dc " + quote(changelog) + " | dpkg-parsechangelog -l - -S Version");
        EXPECT_EQ(parsed.exitCode, 0) << parsed.output;
        EXPECT_EQ(parsed.output, SORVANE2_VERSION "\n");
    }
}

TEST(Install, EveryFileGoesBelowDestdir)
{
    TempDir dir;
    const CommandResult install = shell("DESTDIR=" + quote(dir / "stage") + " " + quote(SORVANE2_CMAKE_COMMAND)
        + " --install " + quote(SORVANE2_BUILD_DIR) + " 2>&1");
    ASSERT_EQ(install.exitCode, 0) << install.output;
    std::istringstream lines(install.output);
    std::string line;
    int files = 0;
    const std::string stage = dir / "stage/";
    while (std::getline(lines, line)) {
        for (const std::string lead : {"-- Installing: ", "-- Up-to-date: "}) {
            if (line.rfind(lead, 0) == 0) {
                EXPECT_EQ(line.compare(lead.size(), stage.size(), stage), 0) << line;
                ++files;
            }
        }
    }
    EXPECT_GE(files, 15) << install.output;
    EXPECT_EQ(shell("find " + quote(stage) + " -path '*/bin/sorvane2-pack' -type f | grep -q .").exitCode, 0);
}

} // namespace
