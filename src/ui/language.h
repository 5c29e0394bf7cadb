// Qt's own texts (OK, Cancel, Yes, No, the file and font dialogs, the
// progress window) in Japanese, beside the program's Japanese texts, and
// dates, sizes and file types as a Japanese desktop writes them.
#pragma once

class QFileDialog;
class QString;

namespace ui {

// installJapanese: loads Qt's Japanese translation (qtbase_ja.qm from Qt's
// translations folder) into the application and makes Japanese the default
// locale (dates and sizes in the file dialogs); false when the translation is
// not there, and the standard texts then stay English. Call once after the
// application object exists.
bool installJapanese();

// japaneseFileDialog: sizes, file types and dates in `dialog`'s list as a
// Japanese desktop writes them ("13 バイト", "D88 ファイル", "2026/12/08 13:27"),
// whatever the system's locale.
void japaneseFileDialog(QFileDialog& dialog);

// imageFileFilter: the file dialog filter of disk images, each extension
// once (the dialog matches names without regard to case).
QString imageFileFilter();

} // namespace ui
