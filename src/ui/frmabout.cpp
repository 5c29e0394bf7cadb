// frmAbout: the About box.
#include "frmabout.h"

#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>

#include "prompts.h"

namespace ui {

namespace {

// Design positions are in twips, 15 to a pixel.
QRect place(int left, int top, int width, int height)
{
    return QRect(left / 15, top / 15, width / 15, height / 15);
}

} // namespace

QPixmap programIcon()
{
    // Sixteen-colour look: flat fills from the classic palette, black outlines.
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setPen(Qt::black);
    // The archive box behind.
    painter.setBrush(QColor(128, 128, 0));
    painter.drawRect(12, 14, 19, 17);
    painter.setBrush(QColor(255, 255, 0));
    painter.drawRect(12, 10, 19, 5);
    // The floppy disk in front: body, shutter and label.
    painter.setBrush(QColor(0, 0, 128));
    painter.drawRect(1, 1, 20, 20);
    painter.setBrush(QColor(192, 192, 192));
    painter.drawRect(6, 1, 10, 7);
    painter.setBrush(QColor(0, 0, 0));
    painter.drawRect(12, 2, 2, 5);
    painter.setBrush(Qt::white);
    painter.drawRect(4, 11, 14, 10);
    // The arrow from the disk into the box.
    painter.setPen(QPen(QColor(255, 0, 0), 2));
    painter.drawLine(16, 24, 24, 24);
    painter.drawLine(21, 21, 24, 24);
    painter.drawLine(21, 27, 24, 24);
    return pixmap;
}

FrmAbout::FrmAbout(const engine::Availability& availability, QWidget* parent)
    : QDialog(parent)
    , m_picture(new QLabel(this))
{
    setObjectName(QStringLiteral("frmAbout"));
    setWindowTitle(catalogueText(7000));
    setFixedSize(4710 / 15, 3360 / 15);
    auto label = [&](const QString& text, const char* name, const QRect& at) {
        auto* widget = new QLabel(text, this);
        widget->setObjectName(QLatin1String(name));
        widget->setGeometry(at);
        return widget;
    };
    label(catalogueText(9999), "lblAboutProgName", place(120, 120, 4455, 255));
    label(QStringLiteral("Ver.1.00"), "lblAboutVersion", place(120, 360, 4455, 255));
    label(catalogueText(7001), "lblAboutTitle", place(120, 600, 4455, 255));
    label(QStringLiteral("Brelmoor"), "lblAboutName", place(2040, 840, 2535, 255))->setAlignment(Qt::AlignRight);
    const char* contacts[] = {"txtNiftyMail", "txtMail", "txtHttp"};
    for (int i = 0; i < 3; ++i) {
        auto* box = new QLineEdit(seriesText(static_cast<std::int16_t>(7003 + i)), this);
        box->setObjectName(QLatin1String(contacts[i]));
        box->setReadOnly(true);
        box->setStyleSheet(QStringLiteral("QLineEdit { background: palette(button); }"));
        box->setGeometry(place(120, 1080 + 360 * i, 4455, 285));
        box->setCursorPosition(0);
    }
    const std::vector<engine::AboutLine> lines = engine::aboutLines(availability);
    for (int i = 0; i < 3; ++i) {
        const auto at = static_cast<size_t>(i);
        m_prog[at] = label(QString::fromStdString(lines[at].name), "", place(720, 2160 + 240 * i, 1815, 255));
        m_ver[at] = label(QString::fromStdString(lines[at].version), "", place(2640, 2160 + 240 * i, 1455, 255));
        m_prog[at]->setObjectName(QStringLiteral("lblProg%1").arg(i));
        m_ver[at]->setObjectName(QStringLiteral("lblVer%1").arg(i));
    }
    m_picture->setObjectName(QStringLiteral("imgAbout"));
    m_picture->setPixmap(programIcon());
    m_picture->setGeometry(place(120, 2160, 480, 480));
    auto* ok = new QPushButton(QStringLiteral("Ok"), this);
    ok->setObjectName(QStringLiteral("btnOK"));
    ok->setGeometry(place(120, 2880, 4455, 375));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::hide);
}

void FrmAbout::clearLibraryLines()
{
    for (int i = 0; i < 3; ++i) {
        m_prog[static_cast<size_t>(i)]->clear();
        m_ver[static_cast<size_t>(i)]->clear();
    }
}

} // namespace ui
