// Window positions between twips and pixels.
#include "geometry.h"

#include <algorithm>
#include <cmath>

namespace ui {

double twipsPerPixel(int dpi)
{
    return 1440.0 / (dpi > 0 ? dpi : 96);
}

int GeometryMemo::pixels(const std::string& key, float twips)
{
    // Far beyond any screen, and not a number at all, end at the widget limit.
    double exact = static_cast<double>(twips) / m_scale;
    if (std::isnan(exact))
        exact = 0.0;
    exact = std::clamp(exact, -16777215.0, 16777215.0);
    const int value = static_cast<int>(std::lround(exact));
    m_read[key] = Read{twips, value};
    return value;
}

float GeometryMemo::twips(const std::string& key, int pixels) const
{
    const auto found = m_read.find(key);
    if (found != m_read.end() && found->second.pixels == pixels)
        return found->second.twips;
    return static_cast<float>(pixels * m_scale);
}

} // namespace ui
