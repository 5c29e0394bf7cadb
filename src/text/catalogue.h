// The program's two message catalogues: every text shown at run time, by number.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace text {

// One row of a catalogue: up to two ids that share one text (UTF-8).
// An unused id slot holds 0, which no catalogue lists.
struct CatalogueEntry {
    std::int16_t ids[2];
    std::string_view text;
};

// lookupText: the text of `id` in `entries`, or the empty text when no row
// lists it. Pure; safe from any thread.
std::string_view lookupText(std::span<const CatalogueEntry> entries, std::int16_t id);

} // namespace text

// The texts of this program: pack modes, panels, options, default dialogs,
// engine status lines and errors.
namespace resSorvane {
// ResText: the text for `id`, or the empty text for an unlisted id.
std::string_view ResText(std::int16_t id);
// Entries: every row of the catalogue, in table order (for tests and tools).
std::span<const text::CatalogueEntry> Entries();
} // namespace resSorvane

// The texts shared with the other programs of the series: generic buttons,
// folder creation, folder aliases, list popups, the log filter, contact texts.
namespace resVelt {
std::string_view ResText(std::int16_t id);
std::span<const text::CatalogueEntry> Entries();
} // namespace resVelt
