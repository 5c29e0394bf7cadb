// Helpers shared by the tests: temporary folders, environment overrides, files.
#pragma once

#include <optional>
#include <string>

namespace testsupport {

// A fresh folder below $TMPDIR (or /tmp), removed with its contents at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& relative) const { return m_path + "/" + relative; }

private:
    std::string m_path;
};

// Sets (or with nullopt unsets) an environment variable; restores it at the end.
class ScopedEnv {
public:
    ScopedEnv(const char* name, std::optional<std::string> value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_name;
    std::optional<std::string> m_old;
};

// Restores the process's working folder at the end.
class ScopedCwd {
public:
    ScopedCwd();
    ~ScopedCwd();
    ScopedCwd(const ScopedCwd&) = delete;
    ScopedCwd& operator=(const ScopedCwd&) = delete;

private:
    std::string m_cwd;
};

void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);
void makeDirs(const std::string& path);
bool exists(const std::string& path);

} // namespace testsupport
