// The program's picture: the window icon, the About box's image and the
// installed desktop icon are all rendered from one drawing.
#pragma once

#include <QIcon>

namespace ui {

// programIcon: every rendered size of the picture (16 to 256 pixels).
QIcon programIcon();

} // namespace ui
