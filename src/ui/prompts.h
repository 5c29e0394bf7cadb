// Every modal question the windows ask goes through here, so that tests can
// answer them without a person.
#pragma once

#include <QFont>
#include <QString>

class QDialog;
class QWidget;

namespace ui {

class Prompts {
public:
    virtual ~Prompts() = default;
    // message: an OK-only box without icon or title of its own.
    virtual void message(QWidget* parent, const QString& text) = 0;
    // question: Yes/No; true for Yes.
    virtual bool question(QWidget* parent, const QString& text) = 0;
    // saveFile: the save dialog; a typed name without an extension gets
    // `suffix` ("LOG" gives "RUN.LOG"); empty when cancelled.
    virtual QString saveFile(QWidget* parent, const QString& filter, const QString& suffix) = 0;
    // chooseFont: the font dialog started on `current`; false when cancelled.
    virtual bool chooseFont(QWidget* parent, QFont& current) = 0;
    // openHelp: show the help page at `path` in the desktop's viewer, or in
    // a window of the program when no viewer opens it.
    virtual void openHelp(QWidget* parent, const QString& path) = 0;
    // runModal: show a dialog modally until it is closed.
    virtual void runModal(QDialog& dialog) = 0;
    // inputText: an input box proposing `initial`; a CR in `prompt` breaks
    // the line; a null string when cancelled.
    virtual QString inputText(QWidget* parent, const QString& prompt, const QString& title,
                              const QString& initial = QString()) = 0;
};

// The real boxes and dialogs.
Prompts& defaultPrompts();

// promptLines: a prompt as a box shows it: CR LF and a lone CR break the line.
QString promptLines(const QString& prompt);

QString catalogueText(std::int16_t id);  // resSorvane
QString seriesText(std::int16_t id);     // resVelt

} // namespace ui
