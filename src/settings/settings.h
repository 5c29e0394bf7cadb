// The program settings record, its text encodings, the location choice
// between the current and the legacy store, LoadSettings, SaveSettings and
// delete-all.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace settings {

constexpr const char* kApplication = "Brelmoor";      // current location
constexpr const char* kLegacyApplication = "Sorvane2"; // read once, then removed
constexpr const char* kSection = "Sorvane2";

// The program-wide values, held in memory for the whole run. Before
// LoadSettings they are zero, False or empty, as at start.
struct ProgramSettings {
    std::string TmpDir;
    std::string Lzh_Option;
    bool SubDir = false;
    bool Hiddn = false;
    bool UCase = false;
    bool Double = false;
    bool Resize = false;
    bool Tip = false;
    std::int16_t Pattern = 0;
    std::int16_t AshukuExe = 0;
    std::string Font_Name;
    std::int16_t Font_Size = 0;
    bool Font_Bold = false;
    bool Font_Italic = false;
};

// Text encodings of the store. Parsers give nullopt for a text that does not convert.
std::optional<bool> parseBoolean(const std::string& text);    // "True"/"False" or a number
std::optional<std::int16_t> parseInteger(const std::string& text);
std::optional<float> parsePosition(const std::string& text);
std::string formatBoolean(bool value);                         // "True" / "False"
std::string formatPosition(float value);

// Where a group of keys is read from.
struct Location {
    std::string application;
    std::string section = kSection;
};

// programLocation: legacy when the legacy store holds a Version other than "0.00".
Location programLocation();

// windowLocation: legacy when the legacy store holds `prefix`_Left (such as
// "Main_Left") as a number other than -9999, or has no `prefix`_Left but one
// of the window's other keys (its _Top, _Width, _Height and `otherKeys`, such
// as "Dir_Out" and the aliases); nullopt when _Left is not a number (the
// window's load fails then).
std::optional<Location> windowLocation(const std::string& prefix, const std::vector<std::string>& otherKeys = {});

// LoadSettings: fills `record` from the store, key by key in order; a key that
// is missing takes its default, one that does not convert keeps its value.
void LoadSettings(ProgramSettings& record);

// SaveSettings: writes the record (and Version "1.00") to the current
// location, each write on its own, then removes the legacy application entry.
void SaveSettings(const ProgramSettings& record);

// DeleteAll: removes this program's section from the current location.
void DeleteAll();

// defaults: the record as LoadSettings fills it from an empty store.
ProgramSettings defaults();

} // namespace settings
