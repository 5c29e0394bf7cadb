// The settings store on Windows: the registry key where the programs of this
// series have always kept their settings,
//   HKEY_CURRENT_USER\Software\VB and VBA Program Settings\<application>\<section>,
// one REG_SZ value per key. The registry compares key and value names without
// regard to case and makes each write whole by itself, so no lock is needed.
#include "platform.h"

#include <windows.h>

#include "drives_win32.h"
#include "win32_text.h"

namespace platform {

namespace {

constexpr const wchar_t* kBase = L"Software\\VB and VBA Program Settings";
constexpr const char* kShownBase = "HKEY_CURRENT_USER\\Software\\VB and VBA Program Settings";

// A value beyond this size is not one we wrote; refusing it keeps a damaged
// store from exhausting memory.
constexpr DWORD kMaxValueBytes = 1u << 20;

// A registry key name: not empty, no "\" (it would open another level), no NUL.
Result<std::wstring> keyName(std::string_view name, const char* what)
{
    if (name.empty() || name.size() > 255 || name.find('\\') != std::string_view::npos
        || name.find('\0') != std::string_view::npos)
        return Error{EINVAL, "\"" + std::string(name) + "\" is not a usable " + what + " name"};
    return widen(name);
}

Result<std::wstring> applicationKey(std::string_view application)
{
    Result<std::wstring> name = keyName(application, "application");
    if (!name)
        return name.error();
    return std::wstring(kBase) + L"\\" + *name;
}

Result<std::wstring> sectionKey(std::string_view application, std::string_view section)
{
    Result<std::wstring> base = applicationKey(application);
    if (!base)
        return base.error();
    Result<std::wstring> name = keyName(section, "section");
    if (!name)
        return name.error();
    return *base + L"\\" + *name;
}

std::string shown(std::string_view application, std::string_view section = {}, std::string_view key = {})
{
    std::string text = std::string(kShownBase) + "\\" + std::string(application);
    if (!section.empty())
        text += "\\" + std::string(section);
    if (!key.empty())
        text += " (" + std::string(key) + ")";
    return text;
}

Error registryError(const std::string& what, LSTATUS status)
{
    return win32::lastError(what, static_cast<unsigned long>(status));
}

// Deletes a key with everything below it; a key that is not there is no error.
Result<void> deleteTree(const std::wstring& key, const std::string& what)
{
    const LSTATUS status = RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
        return registryError(what, status);
    // Whether the key itself goes with its contents has differed between
    // versions of the call: make sure of it.
    const LSTATUS gone = RegDeleteKeyW(HKEY_CURRENT_USER, key.c_str());
    if (gone != ERROR_SUCCESS && gone != ERROR_FILE_NOT_FOUND)
        return registryError(what, gone);
    return {};
}

} // namespace

std::string settingsRead(std::string_view application, std::string_view section,
                         std::string_view key, std::string_view fallback,
                         std::optional<Error>* problem)
{
    if (problem)
        problem->reset();
    auto fail = [&](Error error) {
        if (problem)
            *problem = std::move(error);
        return std::string(fallback);
    };
    Result<std::wstring> path = sectionKey(application, section);
    if (!path)
        return fail(path.error());
    HKEY opened = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_CURRENT_USER, path->c_str(), 0, KEY_QUERY_VALUE, &opened);
    if (status == ERROR_FILE_NOT_FOUND)
        return std::string(fallback);
    if (status != ERROR_SUCCESS)
        return fail(registryError(shown(application, section), status));
    const std::wstring name = widen(key);
    DWORD type = 0;
    DWORD bytes = 0;
    status = RegQueryValueExW(opened, name.c_str(), nullptr, &type, nullptr, &bytes);
    std::wstring value;
    if (status == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ) && bytes <= kMaxValueBytes) {
        value.resize(bytes / sizeof(wchar_t) + 1);
        bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
        status = RegQueryValueExW(opened, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(value.data()),
                                  &bytes);
        value.resize(bytes / sizeof(wchar_t));
    }
    RegCloseKey(opened);
    if (status == ERROR_FILE_NOT_FOUND)
        return std::string(fallback);
    if (status != ERROR_SUCCESS)
        return fail(registryError(shown(application, section, key), status));
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return fail(Error{EILSEQ, shown(application, section, key) + ": not a text value"});
    if (bytes > kMaxValueBytes)
        return fail(Error{EFBIG, shown(application, section, key) + ": too large for a setting"});
    // The stored terminator (or several) is not part of the text.
    while (!value.empty() && value.back() == L'\0')
        value.pop_back();
    return narrow(value);
}

Result<void> settingsWrite(std::string_view application, std::string_view section,
                           std::string_view key, std::string_view value)
{
    Result<std::wstring> path = sectionKey(application, section);
    if (!path)
        return path.error();
    if (value.find('\0') != std::string_view::npos)
        return Error{EINVAL, shown(application, section, key) + ": a text value cannot hold a NUL character"};
    HKEY opened = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_CURRENT_USER, path->c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     KEY_SET_VALUE, nullptr, &opened, nullptr);
    if (status != ERROR_SUCCESS)
        return registryError(shown(application, section), status);
    const std::wstring text = widen(value);
    status = RegSetValueExW(opened, widen(key).c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                            static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(opened);
    if (status != ERROR_SUCCESS)
        return registryError(shown(application, section, key), status);
    return {};
}

Result<void> settingsDeleteSection(std::string_view application, std::string_view section)
{
    Result<std::wstring> path = sectionKey(application, section);
    if (!path)
        return path.error();
    return deleteTree(*path, shown(application, section));
}

Result<void> settingsDeleteApplication(std::string_view application)
{
    Result<std::wstring> path = applicationKey(application);
    if (!path)
        return path.error();
    return deleteTree(*path, shown(application));
}

std::string settingsLocation(std::string_view application)
{
    return shown(application);
}

} // namespace platform
