// Window positions as the store keeps them (twips) and as the screen shows
// them (pixels).
#pragma once

#include <map>
#include <string>

namespace ui {

// twipsPerPixel: 1440 / dpi, 15 at 96 dpi; a dpi of 0 or less counts as 96.
double twipsPerPixel(int dpi);

// GeometryMemo: every position read from the store together with the pixel
// value it became, so that a value the window still has is written back
// exactly as it was read (1000 twips stays 1000, not 990). Not thread-safe;
// the windows use it on the user-interface thread only.
class GeometryMemo {
public:
    explicit GeometryMemo(double twipsPerPixel = 15.0) : m_scale(twipsPerPixel) {}
    // pixels: `twips` as the nearest whole pixel, remembered under `key`.
    int pixels(const std::string& key, float twips);
    // twips: `pixels` in twips: the value read under `key` when `pixels` is
    // still the pixel value it became, otherwise the plain conversion.
    float twips(const std::string& key, int pixels) const;
    double scale() const { return m_scale; }

private:
    struct Read {
        float twips;
        int pixels;
    };
    double m_scale;
    std::map<std::string, Read> m_read;
};

} // namespace ui
