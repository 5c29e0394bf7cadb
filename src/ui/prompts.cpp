// The real message boxes and dialogs.
#include "prompts.h"

#include <QDesktopServices>
#include <QDialog>
#include <QFileDialog>
#include <QFontDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QUrl>
#include <QMessageBox>

#include "helpwindow.h"
#include "language.h"
#include "text/catalogue.h"

namespace ui {

namespace {

class WidgetPrompts final : public Prompts {
public:
    void message(QWidget* parent, const QString& text) override
    {
        QMessageBox box(QMessageBox::NoIcon, QString(), text, QMessageBox::Ok, parent);
        box.exec();
    }
    bool question(QWidget* parent, const QString& text) override
    {
        QMessageBox box(QMessageBox::NoIcon, QString(), text, QMessageBox::Yes | QMessageBox::No, parent);
        return box.exec() == QMessageBox::Yes;
    }
    QString saveFile(QWidget* parent, const QString& filter, const QString& suffix) override
    {
        // The program asks about an existing file itself.
        QFileDialog dialog(parent, QString(), QString(), filter);
        dialog.setObjectName(QStringLiteral("cdlSorvane"));
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setOption(QFileDialog::DontConfirmOverwrite);
        dialog.setDefaultSuffix(suffix);
        japaneseFileDialog(dialog);
        if (dialog.exec() != QDialog::Accepted)
            return QString();
        return dialog.selectedFiles().value(0);
    }
    bool chooseFont(QWidget* parent, QFont& current) override
    {
        QFontDialog dialog(current, parent);
        dialog.setObjectName(QStringLiteral("cdlSorvane"));
        dialog.setOption(QFontDialog::ScalableFonts);
        dialog.setCurrentFont(current);
        if (dialog.exec() != QDialog::Accepted)
            return false;
        current = dialog.selectedFont();
        return true;
    }
    void openHelp(QWidget* parent, const QString& path) override
    {
        if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
            showHelpWindow(parent, path);
    }
    void runModal(QDialog& dialog) override { dialog.exec(); }
    QString inputText(QWidget* parent, const QString& prompt, const QString& title, const QString& initial) override
    {
        bool ok = false;
        const QString text = QInputDialog::getText(parent, title, promptLines(prompt), QLineEdit::Normal, initial, &ok);
        return ok ? text : QString();
    }
};

QString fromView(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

QString promptLines(const QString& prompt)
{
    QString lines = prompt;
    lines.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    lines.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return lines;
}

Prompts& defaultPrompts()
{
    static WidgetPrompts prompts;
    return prompts;
}

QString catalogueText(std::int16_t id)
{
    return fromView(resSorvane::ResText(id));
}

QString seriesText(std::int16_t id)
{
    return fromView(resVelt::ResText(id));
}

} // namespace ui
