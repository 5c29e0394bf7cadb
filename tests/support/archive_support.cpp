// Helpers of the archive tests.
#include "archive_support.h"

#include <random>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "testsupport.h"

namespace fs = std::filesystem;

namespace testsupport {

CommandResult shell(const std::string& command)
{
    CommandResult result;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        return result;
    std::array<char, 4096> buffer;
    size_t got;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
        result.output.append(buffer.data(), got);
    const int status = ::pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string quote(const std::string& text)
{
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

std::map<std::string, TreeFile> readTree(const std::string& root)
{
    std::map<std::string, TreeFile> tree;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        const std::string relative = fs::relative(it->path(), root).string();
        struct stat info;
        ::lstat(it->path().c_str(), &info);
        TreeFile file;
        file.mtime = info.st_mtim.tv_sec;
        file.folder = S_ISDIR(info.st_mode);
        if (!file.folder)
            file.content = readFile(it->path().string());
        tree[relative] = file;
    }
    return tree;
}

std::map<std::string, TreeFile> unpacked(const std::string& archive, const std::string& out)
{
    makeDirs(out);
    const CommandResult extracted = shell("bsdtar -xf " + quote(archive) + " -C " + quote(out) + " 2>&1");
    EXPECT_EQ(extracted.exitCode, 0) << extracted.output;
    std::map<std::string, TreeFile> files;
    for (auto& [path, file] : readTree(out))
        if (!file.folder)
            files[path] = file;
    return files;
}

void setMtime(const std::string& path, std::int64_t seconds)
{
    const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

void makeSampleTree(const std::string& root)
{
    makeDirs(root + "/SUB/DEEP");
    makeDirs(root + "/EMPTYDIR");
    makeDirs(root + "/日本語フォルダ");
    writeFile(root + "/README.TXT", "A small text file.\r\n");
    writeFile(root + "/EMPTY.DAT", "");
    writeFile(root + "/ONE.BIN", "x");
    writeFile(root + "/.hidden", "hidden file\n");
    writeFile(root + "/日本語フォルダ/表ソ能.txt", "Shift-JIS trail bytes 0x5C\n");
    std::string text;
    for (int i = 0; i < 40000; ++i)
        text += "line " + std::to_string(i * 7919 % 10007) + " of a disk image listing\n";
    writeFile(root + "/SUB/TEXT.LOG", text);
    std::string noise;
    std::uint32_t state = 12345;
    for (int i = 0; i < 70000; ++i) {
        state = state * 1103515245 + 12345;
        noise += static_cast<char>(state >> 24);
    }
    writeFile(root + "/SUB/NOISE.BIN", noise);
    writeFile(root + "/SUB/DEEP/ZEROS.BIN", std::string(65536 + 1, '\0'));
    std::string big;
    for (int i = 0; big.size() < 3u << 20; ++i)
        big += text.substr(static_cast<size_t>(i * 97) % 4096, 900) + noise.substr(static_cast<size_t>(i * 13) % 60000, 300);
    writeFile(root + "/SUB/DEEP/BIG.DAT", big);
    std::int64_t when = 1700000001;
    for (const auto& [path, file] : readTree(root)) {
        if (!file.folder)
            setMtime(root + "/" + path, when += 3600 * 24 + 7);
    }
}

LoadedModule::LoadedModule(const std::string& path, const std::string& prefix)
    : m_handle(::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL))
    , m_prefix(prefix)
{
}

LoadedModule::~LoadedModule()
{
    if (m_handle)
        ::dlclose(m_handle);
}

void* LoadedModule::symbol(const std::string& name) const
{
    return m_handle ? ::dlsym(m_handle, name.c_str()) : nullptr;
}

int LoadedModule::run(const std::string& commandLine, std::string* report)
{
    using Command = int (*)(void*, const char*, char*, unsigned long);
    auto function = reinterpret_cast<Command>(symbol(m_prefix));
    if (!function)
        throw std::runtime_error("no function " + m_prefix);
    std::string buffer(1 << 16, '\0');
    const int result = function(nullptr, commandLine.c_str(), buffer.data(), static_cast<unsigned long>(buffer.size()));
    if (report)
        *report = buffer.c_str();
    return result;
}

std::string binaryDir()
{
    return SORVANE2_BIN_DIR;
}

std::string lhasaSpelling(const std::string& path)
{
    if (std::any_of(path.begin(), path.end(), [](char c) { return c >= 'a' && c <= 'z'; }))
        return path;
    std::string lower = path;
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

std::map<std::string, std::string> sevenZipAttributes(const std::string& path)
{
    const CommandResult run = shell("7zz l -slt " + quote(path) + " 2>&1");
    if (run.exitCode != 0)
        throw std::runtime_error("7zz cannot list " + path + ":\n" + run.output);
    std::map<std::string, std::string> out;
    std::istringstream lines(run.output);
    std::string line, entry;
    bool entries = false;
    while (std::getline(lines, line)) {
        if (line == "----------")
            entries = true;
        if (entries && line.rfind("Path = ", 0) == 0)
            out[entry = line.substr(7)] = "";
        if (entries && line.rfind("Attributes = ", 0) == 0 && !entry.empty())
            out[entry] = line.substr(13);
    }
    return out;
}

bool leaseBreaking(std::uint64_t inode)
{
    std::istringstream locks(readFile("/proc/locks"));
    const std::string key = ":" + std::to_string(inode) + " ";
    for (std::string line; std::getline(locks, line);)
        if (line.find("BREAKING") != std::string::npos && line.find(key) != std::string::npos)
            return true;
    return false;
}

std::string noise(size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = static_cast<char>(random());
    return bytes;
}

std::string paragraphText(size_t size, unsigned seed)
{
    static const char* const kWords[] = {"disk", "archive", "file", "record", "drive", "volume", "sector",
        "label", "folder", "name", "copied", "time", "floppy", "data", "list", "box"};
    std::mt19937 random(seed);
    std::vector<std::string> paragraphs(16);
    for (std::string& paragraph : paragraphs) {
        for (int sentence = 0; sentence < 5; ++sentence) {
            const unsigned words = 6 + random() % 12;
            for (unsigned i = 0; i < words; ++i)
                paragraph += std::string(i ? " " : "") + kWords[random() % std::size(kWords)];
            paragraph += ". ";
        }
        paragraph += "\r\n";
    }
    std::string text;
    text.reserve(size + 1024);
    while (text.size() < size)
        text += paragraphs[random() % paragraphs.size()];
    text.resize(size);
    return text;
}

char processState(pid_t pid)
{
    std::error_code error;
    char state = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        const std::string stat = readFile(task.path().string() + "/stat");
        const size_t close = stat.rfind(')');
        if (close == std::string::npos || close + 2 >= stat.size())
            continue;
        state = stat[close + 2];
        if (state != 'T')
            return state;
    }
    return state;
}

} // namespace testsupport
