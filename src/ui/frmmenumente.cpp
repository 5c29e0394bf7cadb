// frmMenuMente: the folder alias maintenance dialog.
#include "frmmenumente.h"

#include <QGridLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>

#include "engine/basvelt.h"
#include "prompts.h"

namespace ui {

namespace {

// The buttons' pictures: green chevrons up and down, one or two red crosses.
QIcon picture(int kind)
{
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    if (kind < 2) {
        painter.setPen(QPen(QColor(0, 128, 0), 5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        const int tip = kind == 0 ? 8 : 24;
        const int base = kind == 0 ? 22 : 10;
        painter.drawPolyline(QPolygon({QPoint(6, base), QPoint(16, tip), QPoint(26, base)}));
    } else {
        painter.setPen(QPen(QColor(200, 0, 0), 4, Qt::SolidLine, Qt::RoundCap));
        const int crosses = kind == 2 ? 1 : 2;
        for (int c = 0; c < crosses; ++c) {
            const int x = crosses == 1 ? 8 : 2 + c * 14;
            const int size = crosses == 1 ? 16 : 12;
            painter.drawLine(x, 8, x + size, 8 + size);
            painter.drawLine(x + size, 8, x, 8 + size);
        }
    }
    return QIcon(pixmap);
}

} // namespace

FrmMenuMente::FrmMenuMente(Prompts& prompts, QWidget* parent)
    : QDialog(parent)
    , m_prompts(prompts)
    , m_list(new QListWidget(this))
    , m_text(new QLineEdit(this))
{
    setObjectName(QStringLiteral("frmMenuMente"));
    m_list->setObjectName(QStringLiteral("lbxMenu"));
    m_text->setObjectName(QStringLiteral("txtDir"));
    m_text->setReadOnly(true);
    m_list->setToolTip(seriesText(11008));
    m_text->setToolTip(seriesText(11007));
    auto* grid = new QGridLayout(this);
    grid->addWidget(m_text, 0, 0, 1, 3);
    grid->addWidget(m_list, 1, 0, 4, 1);
    struct ButtonRow {
        const char* name;
        int picture;
        std::int16_t caption;
        std::int16_t tip;
        int row;
        int column;
    };
    const ButtonRow rows[] = {{"btnUp", 0, 0, 11009, 1, 1}, {"btnDown", 1, 0, 11010, 2, 1}, {"btnDel", 2, 0, 11011, 3, 1},
        {"btnDelAll", 3, 0, 11012, 4, 1}, {"btnName", -1, 11003, 11006, 1, 2}, {"btnOk", -1, 8044, 8047, 3, 2},
        {"btnCancel", -1, 8043, 8046, 4, 2}};
    for (const ButtonRow& row : rows) {
        auto* button = new QPushButton(row.caption ? seriesText(row.caption) : QString(), this);
        button->setObjectName(QLatin1String(row.name));
        if (row.picture >= 0) {
            button->setIcon(picture(row.picture));
            button->setIconSize(QSize(24, 24));
        }
        button->setToolTip(seriesText(row.tip));
        grid->addWidget(button, row.row, row.column);
    }
    connect(m_list, &QListWidget::currentRowChanged, this, [this] { showSelected(); });
    connect(button("btnName"), &QPushButton::clicked, this, [this] {
        const int row = m_list->currentRow();
        if (row < 0 || row >= aliases.count())
            return;
        const QString answer = m_prompts.inputText(this, seriesText(11101), seriesText(11102), m_list->item(row)->text());
        bool taken = false;
        if (aliases.rename(row, answer.toStdString(), &taken))
            m_list->item(row)->setText(answer);
        else if (taken)
            m_prompts.message(this, seriesText(11103));
    });
    connect(button("btnUp"), &QPushButton::clicked, this, [this] {
        const int row = m_list->currentRow();
        if (row >= 1) {
            aliases.moveUp(row);
            rebuild(row - 1);
        }
    });
    connect(button("btnDown"), &QPushButton::clicked, this, [this] {
        const int row = m_list->currentRow();
        if (row >= 0 && row <= aliases.count() - 2) {
            aliases.moveDown(row);
            rebuild(row + 1);
        }
    });
    connect(button("btnDel"), &QPushButton::clicked, this, [this] {
        const int row = m_list->currentRow();
        if (row < 0)
            return;
        aliases.remove(row);
        rebuild(std::min(row, aliases.count() - 1));
    });
    connect(button("btnDelAll"), &QPushButton::clicked, this, [this] {
        aliases.clear();
        rebuild(-1);
    });
    connect(button("btnOk"), &QPushButton::clicked, this, [this] {
        pblnOk = true;
        accept();
    });
    connect(button("btnCancel"), &QPushButton::clicked, this, &QDialog::reject);
}

QPushButton* FrmMenuMente::button(const char* name) const
{
    return findChild<QPushButton*>(QLatin1String(name));
}

void FrmMenuMente::rebuild(int select)
{
    m_list->blockSignals(true);
    m_list->clear();
    for (int i = 0; i < aliases.count(); ++i)
        m_list->addItem(QString::fromStdString(aliases.at(i).name));
    m_list->setCurrentRow(select);
    m_list->blockSignals(false);
    showSelected();
    setControlEnabled();
}

void FrmMenuMente::showSelected()
{
    const int row = m_list->currentRow();
    m_text->setText(row >= 0 && row < aliases.count()
            ? QString::fromStdString(basVelt::ShortenPath(aliases.at(row).folder))
            : QString());
}

void FrmMenuMente::setControlEnabled()
{
    const bool any = aliases.count() > 0;
    m_text->setEnabled(any);
    m_list->setEnabled(any);
    for (const char* name : {"btnUp", "btnDown", "btnDel", "btnDelAll", "btnName"})
        button(name)->setEnabled(any);
}

void FrmMenuMente::activate()
{
    pblnOk = false;
    setWindowTitle(pstr_Me_Caption + seriesText(11000));
    rebuild(aliases.count() > 0 ? 0 : -1);
    if (m_list->isEnabled())
        m_list->setFocus();
    else
        button("btnCancel")->setFocus();
}

void FrmMenuMente::showEvent(QShowEvent* event)
{
    activate();
    QDialog::showEvent(event);
}

} // namespace ui
