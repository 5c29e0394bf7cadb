// frmAbout: the About box.
#include "frmabout.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "icon.h"
#include "prompts.h"

namespace ui {

FrmAbout::FrmAbout(const engine::Availability& availability, QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("frmAbout"));
    setWindowTitle(catalogueText(7000));
    auto* grid = new QGridLayout(this);
    auto label = [&](const QString& text, const char* name, int row) {
        auto* widget = new QLabel(text, this);
        widget->setObjectName(QLatin1String(name));
        grid->addWidget(widget, row, 0, 1, 2);
        return widget;
    };
    auto* image = new QLabel(this);
    image->setObjectName(QStringLiteral("imgAbout"));
    image->setPixmap(programIcon().pixmap(32, 32));
    grid->addWidget(image, 0, 2, 3, 1, Qt::AlignTop | Qt::AlignRight);
    label(catalogueText(9999), "lblAboutProgName", 0);
    label(QStringLiteral("Ver.1.00"), "lblAboutVersion", 1);
    label(catalogueText(7001), "lblAboutTitle", 2);
    label(QStringLiteral("Brelmoor"), "lblAboutName", 3)->setAlignment(Qt::AlignRight);
    const char* contacts[] = {"txtNiftyMail", "txtMail", "txtHttp"};
    for (int i = 0; i < 3; ++i) {
        auto* box = new QLineEdit(seriesText(static_cast<std::int16_t>(7003 + i)), this);
        box->setObjectName(QLatin1String(contacts[i]));
        box->setReadOnly(true);
        box->setStyleSheet(QStringLiteral("QLineEdit { background: palette(button); }"));
        grid->addWidget(box, 4 + i, 0, 1, 3);
    }
    const std::vector<engine::AboutLine> lines = engine::aboutLines(availability);
    for (int i = 0; i < 3; ++i) {
        m_prog[static_cast<size_t>(i)] = new QLabel(QString::fromStdString(lines[static_cast<size_t>(i)].name), this);
        m_ver[static_cast<size_t>(i)] = new QLabel(QString::fromStdString(lines[static_cast<size_t>(i)].version), this);
        m_prog[static_cast<size_t>(i)]->setObjectName(QStringLiteral("lblProg%1").arg(i));
        m_ver[static_cast<size_t>(i)]->setObjectName(QStringLiteral("lblVer%1").arg(i));
        grid->addWidget(m_prog[static_cast<size_t>(i)], 7 + i, 0);
        grid->addWidget(m_ver[static_cast<size_t>(i)], 7 + i, 1);
    }
    auto* ok = new QPushButton(QStringLiteral("Ok"), this);
    ok->setObjectName(QStringLiteral("btnOK"));
    connect(ok, &QPushButton::clicked, this, &QDialog::hide);
    grid->addWidget(ok, 10, 0, 1, 3);
}

} // namespace ui
