// The help page in a window of the program, for machines where no desktop
// viewer opens it.
#pragma once

#include <QString>

class QDialog;
class QWidget;

namespace ui {

// showHelpWindow: shows the page at `path` (an HTML file) in the program's
// help window beside `parent`, creating it on the first call and raising it
// on later ones; a missing page shows its path. The window is owned by
// `parent` (or deletes itself when closed without one).
QDialog* showHelpWindow(QWidget* parent, const QString& path);

} // namespace ui
