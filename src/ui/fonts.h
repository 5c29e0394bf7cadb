// The program font: the stored face, size, bold and italic, and the Windows
// Japanese face names the settings store mapped to installed faces.
#pragma once

#include <QFont>

#include "settings/settings.h"

namespace ui {

// installFontSubstitutions: call once after the application object exists.
void installFontSubstitutions();

// programFont: Font_Name, Font_Size (10 when not positive), Font_Bold, Font_Italic.
QFont programFont(const settings::ProgramSettings& record);

} // namespace ui
