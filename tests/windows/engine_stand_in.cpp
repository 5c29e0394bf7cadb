// What the settings and naming code ask of the engine, for building the
// Windows tests before the engine (and Qt under it) builds for Windows: the
// answers basvelt.cpp gives (the temporary folder without its length check).
#include "engine/basvelt.h"

#include "platform/platform.h"

namespace basVelt {

std::string GetTempFolder()
{
    return platform::tempFolder();
}

std::string LastPathElement(std::string_view path)
{
    const size_t slash = path.rfind('\\');
    if (slash == std::string_view::npos || slash + 1 == path.size())
        return {};
    return std::string(path.substr(slash + 1));
}

} // namespace basVelt
