// Qt's own texts (OK, Cancel, Yes, No, the file and font dialogs, the
// progress window) in Japanese, beside the program's Japanese texts.
#pragma once

namespace ui {

// installJapanese: loads Qt's Japanese translation (qtbase_ja.qm from Qt's
// translations folder) into the application; false when it is not there,
// and the standard texts then stay English. Call once after the
// application object exists.
bool installJapanese();

} // namespace ui
