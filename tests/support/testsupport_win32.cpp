// Helpers shared by the tests, on Windows: paths are UTF-8 texts, turned into
// wide names for every file call (the narrow calls would take them as ANSI).
#include "testsupport.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include <windows.h>

namespace testsupport {
namespace {

std::filesystem::path fsPath(const std::string& utf8)
{
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string utf8(const std::filesystem::path& path)
{
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

void setEnv(const std::string& name, const std::optional<std::string>& value)
{
    const std::wstring wide = fsPath(name).wstring();
    if (value)
        ::SetEnvironmentVariableW(wide.c_str(), fsPath(*value).wstring().c_str());
    else
        ::SetEnvironmentVariableW(wide.c_str(), nullptr);
    // The C runtime keeps its own copy of the environment for getenv().
    ::_wputenv_s(wide.c_str(), value ? fsPath(*value).wstring().c_str() : L"");
}

} // namespace

TempDir::TempDir()
{
    std::random_device random;
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::ostringstream name;
        name << "sorvane2-test-" << std::hex << random();
        std::error_code ec;
        if (std::filesystem::create_directory(base / name.str(), ec)) {
            m_path = utf8(base / name.str());
            return;
        }
    }
    throw std::runtime_error("cannot make a temporary folder");
}

TempDir::~TempDir()
{
    std::error_code ec;
    // Read-only files would stop the removal.
    for (auto it = std::filesystem::recursive_directory_iterator(fsPath(m_path), ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        ::SetFileAttributesW(it->path().c_str(), FILE_ATTRIBUTE_NORMAL);
    std::filesystem::remove_all(fsPath(m_path), ec);
}

ScopedEnv::ScopedEnv(const char* name, std::optional<std::string> value)
    : m_name(name)
{
    if (const char* old = std::getenv(name))
        m_old = old;
    setEnv(m_name, value);
}

ScopedEnv::~ScopedEnv()
{
    setEnv(m_name, m_old);
}

ScopedCwd::ScopedCwd()
    : m_cwd(utf8(std::filesystem::current_path()))
{
}

ScopedCwd::~ScopedCwd()
{
    std::error_code ec;
    std::filesystem::current_path(fsPath(m_cwd), ec);
}

void writeFile(const std::string& path, const std::string& content)
{
    std::ofstream out(fsPath(path), std::ios::binary | std::ios::trunc);
    if (!out)
        throw std::runtime_error("cannot write " + path);
    out << content;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(fsPath(path), std::ios::binary);
    std::ostringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

void makeDirs(const std::string& path)
{
    std::filesystem::create_directories(fsPath(path));
}

bool exists(const std::string& path)
{
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(fsPath(path), ec));
}

} // namespace testsupport
