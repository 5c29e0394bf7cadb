// Maps the Windows Japanese face names the settings store to installed faces.
#pragma once

namespace ui {

// installFontSubstitutions: call once after the application object exists.
void installFontSubstitutions();

} // namespace ui
