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
    QString saveFile(QWidget* parent, const QString& filter) override
    {
        return QFileDialog::getSaveFileName(parent, QString(), QString(), filter, nullptr,
            QFileDialog::DontConfirmOverwrite);
    }
    bool chooseFont(QWidget* parent, QFont& current) override
    {
        bool ok = false;
        const QFont chosen = QFontDialog::getFont(&ok, current, parent, QString(), QFontDialog::ScalableFonts);
        if (ok)
            current = chosen;
        return ok;
    }
    void openHelp(const QString& path) override { QDesktopServices::openUrl(QUrl::fromLocalFile(path)); }
    void runModal(QDialog& dialog) override { dialog.exec(); }
    QString inputText(QWidget* parent, const QString& prompt, const QString& title, const QString& initial) override
    {
        bool ok = false;
        const QString text = QInputDialog::getText(parent, title, prompt, QLineEdit::Normal, initial, &ok);
        return ok ? text : QString();
    }
};

QString fromView(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

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
