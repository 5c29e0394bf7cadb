// The program settings record and its store.
#include "settings.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "engine/basvelt.h"
#include "platform/platform.h"

namespace settings {

namespace {

std::string strip(const std::string& text)
{
    size_t begin = text.find_first_not_of(" \t");
    size_t end = text.find_last_not_of(" \t");
    return begin == std::string::npos ? std::string() : text.substr(begin, end - begin + 1);
}

bool sameAscii(const std::string& a, const char* b)
{
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return i == a.size() && !b[i];
}

std::string read(const Location& where, const char* key, const std::string& fallback)
{
    return platform::settingsRead(where.application, where.section, key, fallback);
}

template <typename T, typename Parse>
void readInto(const Location& where, const char* key, T& value, const std::string& fallback, Parse parse)
{
    const std::optional<T> parsed = parse(read(where, key, fallback));
    if (parsed)
        value = *parsed; // a text that does not convert leaves the value as it was
}

void write(const char* key, const std::string& value)
{
    (void)platform::settingsWrite(kApplication, kSection, key, value); // each write on its own
}

} // namespace

std::optional<bool> parseBoolean(const std::string& text)
{
    const std::string value = strip(text);
    if (sameAscii(value, "True"))
        return true;
    if (sameAscii(value, "False"))
        return false;
    char* end = nullptr;
    const double number = std::strtod(value.c_str(), &end);
    if (value.empty() || end != value.c_str() + value.size() || !std::isfinite(number))
        return std::nullopt;
    return number != 0;
}

std::optional<std::int16_t> parseInteger(const std::string& text)
{
    const std::string value = strip(text);
    int number = 0;
    const char* first = value.c_str();
    const char* last = first + value.size();
    if (value.size() > 1 && value[0] == '+')
        ++first;
    const auto [end, error] = std::from_chars(first, last, number);
    if (value.empty() || error != std::errc() || end != last || number < -32768 || number > 32767)
        return std::nullopt;
    return static_cast<std::int16_t>(number);
}

std::optional<float> parsePosition(const std::string& text)
{
    const std::string value = strip(text);
    char* end = nullptr;
    const double number = std::strtod(value.c_str(), &end);
    if (value.empty() || end != value.c_str() + value.size() || !std::isfinite(number))
        return std::nullopt;
    return static_cast<float>(number);
}

std::string formatBoolean(bool value)
{
    return value ? "True" : "False";
}

std::string formatPosition(float value)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.9g", static_cast<double>(value));
    return buffer;
}

Location programLocation()
{
    const std::string version = platform::settingsRead(kLegacyApplication, kSection, "Version", "0.00");
    return Location{version == "0.00" ? kApplication : kLegacyApplication};
}

std::optional<Location> windowLocation(const std::string& prefix, const std::vector<std::string>& otherKeys)
{
    // A text no store holds, to tell an absent key from any value.
    static const std::string kAbsent = std::string("\x01") + "absent";
    auto legacyHas = [](const std::string& key) {
        return platform::settingsRead(kLegacyApplication, kSection, key, kAbsent) != kAbsent;
    };
    const std::string left = platform::settingsRead(kLegacyApplication, kSection, prefix + "_Left", kAbsent);
    if (left == kAbsent) {
        // Earlier versions wrote a panel's geometry only with Resize off, so
        // its _Left is often missing while its folders and aliases are there.
        std::vector<std::string> keys = {prefix + "_Top", prefix + "_Width", prefix + "_Height"};
        keys.insert(keys.end(), otherKeys.begin(), otherKeys.end());
        for (const std::string& key : keys)
            if (legacyHas(key))
                return Location{kLegacyApplication};
        return Location{kApplication};
    }
    // Any number tells: positions were stored as numbers of twips, not only
    // as 16-bit integers (38400, 1234.5).
    const std::optional<float> number = parsePosition(left);
    if (!number)
        return std::nullopt;
    return Location{*number == -9999.0f ? kApplication : kLegacyApplication};
}

ProgramSettings defaults()
{
    ProgramSettings record;
    record.TmpDir = basVelt::GetTempFolder();
    record.Lzh_Option = "u -+";
    record.SubDir = true;
    record.UCase = true;
    record.Resize = true;
    record.Tip = true;
    record.Font_Name = "ＭＳ 明朝";
    record.Font_Size = 10;
    return record;
}

void LoadSettings(ProgramSettings& record)
{
    const ProgramSettings d = defaults();
    const Location where = programLocation();
    auto text = [](const std::string& value) { return std::optional<std::string>(value); };
    readInto(where, "TmpDir", record.TmpDir, d.TmpDir, text);
    readInto(where, "Lzh_Option", record.Lzh_Option, d.Lzh_Option, text);
    readInto(where, "SubDir", record.SubDir, formatBoolean(d.SubDir), parseBoolean);
    readInto(where, "Hiddn", record.Hiddn, formatBoolean(d.Hiddn), parseBoolean);
    readInto(where, "UCase", record.UCase, formatBoolean(d.UCase), parseBoolean);
    readInto(where, "Double", record.Double, formatBoolean(d.Double), parseBoolean);
    readInto(where, "Resize", record.Resize, formatBoolean(d.Resize), parseBoolean);
    readInto(where, "Tip", record.Tip, formatBoolean(d.Tip), parseBoolean);
    readInto(where, "Pattern", record.Pattern, std::to_string(d.Pattern), parseInteger);
    readInto(where, "AshukuExe", record.AshukuExe, std::to_string(d.AshukuExe), parseInteger);
    readInto(where, "Font_Name", record.Font_Name, d.Font_Name, text);
    readInto(where, "Font_Size", record.Font_Size, std::to_string(d.Font_Size), parseInteger);
    readInto(where, "Font_Bold", record.Font_Bold, formatBoolean(d.Font_Bold), parseBoolean);
    readInto(where, "Font_Italic", record.Font_Italic, formatBoolean(d.Font_Italic), parseBoolean);
}

void SaveSettings(const ProgramSettings& record)
{
    write("Version", "1.00");
    write("TmpDir", record.TmpDir);
    write("Lzh_Option", record.Lzh_Option);
    write("SubDir", formatBoolean(record.SubDir));
    write("Hiddn", formatBoolean(record.Hiddn));
    write("UCase", formatBoolean(record.UCase));
    write("Double", formatBoolean(record.Double));
    write("Resize", formatBoolean(record.Resize));
    write("Tip", formatBoolean(record.Tip));
    write("Pattern", std::to_string(record.Pattern));
    write("AshukuExe", std::to_string(record.AshukuExe));
    write("Font_Name", record.Font_Name);
    write("Font_Size", std::to_string(record.Font_Size));
    write("Font_Bold", formatBoolean(record.Font_Bold));
    write("Font_Italic", formatBoolean(record.Font_Italic));
    (void)platform::settingsDeleteApplication(kLegacyApplication);
}

void DeleteAll()
{
    (void)platform::settingsDeleteSection(kApplication, kSection);
}

} // namespace settings
