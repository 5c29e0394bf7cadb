// The real message boxes and dialogs.
#include "prompts.h"

#include <QFileDialog>
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
