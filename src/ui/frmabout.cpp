// frmAbout: the About box.
#include "frmabout.h"

#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <algorithm>

#include "icon.h"
#include "prompts.h"

namespace ui {

namespace {

// Design positions are in twips, 15 to a pixel.
QRect place(int left, int top, int width, int height)
{
    return QRect(left / 15, top / 15, width / 15, height / 15);
}

constexpr int kDesignPoints = 10; // the font the design was drawn for

} // namespace

FrmAbout::FrmAbout(const engine::Availability& availability, QWidget* parent)
    : QDialog(parent)
    , m_picture(new QLabel(this))
{
    setObjectName(QStringLiteral("frmAbout"));
    setWindowTitle(catalogueText(7000));
    auto label = [&](const QString& text, const char* name, const QRect& at) {
        auto* widget = new QLabel(text, this);
        widget->setObjectName(QLatin1String(name));
        m_design.push_back({widget, at});
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
        // Grey like the dialog; a palette, not a style sheet, so the box follows the dialog's font.
        QPalette colours = box->palette();
        colours.setColor(QPalette::Base, colours.color(QPalette::Button));
        box->setPalette(colours);
        m_design.push_back({box, place(120, 1080 + 360 * i, 4455, 285)});
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
    m_picture->setPixmap(programIcon().pixmap(32, 32));
    m_design.push_back({m_picture, place(120, 2160, 480, 480)});
    auto* ok = new QPushButton(QStringLiteral("Ok"), this);
    ok->setObjectName(QStringLiteral("btnOK"));
    m_design.push_back({ok, place(120, 2880, 4455, 375)});
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::hide);
    layOut();
}

// The design at the design font; a larger font scales every place by the
// growth of its line height, so nothing is cut or crowded.
void FrmAbout::layOut()
{
    QFont designFont = font();
    designFont.setPointSize(kDesignPoints);
    double scale = 1.0;
    if (font().pointSizeF() > kDesignPoints) {
        // The growth of the line height, or more where a box or button needs it.
        scale = static_cast<double>(fontMetrics().height()) / QFontMetrics(designFont).height();
        for (const auto& [widget, at] : m_design)
            if (!qobject_cast<QLabel*>(widget))
                scale = std::max(scale, static_cast<double>(widget->minimumSizeHint().height()) / at.height());
    }
    auto scaled = [scale](const QRect& at) {
        return QRect(qRound(at.x() * scale), qRound(at.y() * scale), qRound(at.width() * scale),
            qRound(at.height() * scale));
    };
    for (const auto& [widget, at] : m_design)
        widget->setGeometry(scaled(at));
    setFixedSize(scaled(QRect(0, 0, 4710 / 15, 3360 / 15)).size());
}

void FrmAbout::changeEvent(QEvent* event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::FontChange)
        layOut();
}

void FrmAbout::clearLibraryLines()
{
    for (int i = 0; i < 3; ++i) {
        m_prog[static_cast<size_t>(i)]->clear();
        m_ver[static_cast<size_t>(i)]->clear();
    }
}

} // namespace ui
