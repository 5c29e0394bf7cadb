// Lookup shared by both catalogues.
#include "catalogue.h"

namespace text {

std::string_view lookupText(std::span<const CatalogueEntry> entries, std::int16_t id)
{
    if (id == 0)
        return {};
    for (const CatalogueEntry& entry : entries) {
        if (entry.ids[0] == id || entry.ids[1] == id)
            return entry.text;
    }
    return {};
}

} // namespace text
