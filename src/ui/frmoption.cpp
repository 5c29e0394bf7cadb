// frmOption: the Options dialog.
#include "frmoption.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>

#include "prompts.h"

namespace ui {

FrmOption::FrmOption(settings::ProgramSettings& settings, bool zipAvailable, QWidget* parent)
    : QDialog(parent)
    , m_settings(settings)
    , m_zipAvailable(zipAvailable)
    , m_subDir(new QCheckBox(catalogueText(8001), this))
    , m_hidden(new QCheckBox(catalogueText(8002), this))
    , m_ucase(new QCheckBox(catalogueText(8004), this))
    , m_double(new QCheckBox(catalogueText(8005), this))
    , m_resize(new QCheckBox(seriesText(8056), this))
    , m_tip(new QCheckBox(seriesText(8058), this))
    , m_init(new QPushButton(seriesText(8042), this))
    , m_cancel(new QPushButton(seriesText(8043), this))
    , m_ok(new QPushButton(seriesText(8044), this))
{
    setObjectName(QStringLiteral("frmOption"));
    setWindowTitle(catalogueText(8000));
    auto* grid = new QGridLayout(this);
    int row = 0;
    for (QCheckBox* box : {m_subDir, m_hidden, m_ucase, m_double})
        grid->addWidget(box, row++, 0, 1, 3);
    grid->addWidget(new QLabel(catalogueText(8016), this), row++, 0, 1, 3);
    auto* formats = new QButtonGroup(this);
    for (int i = 0; i < 2; ++i) {
        m_format[static_cast<size_t>(i)] = new QRadioButton(catalogueText(static_cast<std::int16_t>(8017 + i)), this);
        formats->addButton(m_format[static_cast<size_t>(i)], i);
        grid->addWidget(m_format[static_cast<size_t>(i)], row, i);
    }
    ++row;
    grid->addWidget(new QLabel(catalogueText(8010), this), row++, 0, 1, 3);
    auto* patterns = new QButtonGroup(this);
    for (int i = 0; i < 4; ++i) {
        m_pattern[static_cast<size_t>(i)] = new QRadioButton(catalogueText(static_cast<std::int16_t>(8011 + i)), this);
        patterns->addButton(m_pattern[static_cast<size_t>(i)], i);
        grid->addWidget(m_pattern[static_cast<size_t>(i)], row + i / 2, i % 2);
    }
    row += 2;
    grid->addWidget(m_resize, row++, 0, 1, 3);
    grid->addWidget(m_tip, row++, 0, 1, 3);
    grid->addWidget(m_init, row, 0);
    grid->addWidget(m_cancel, row, 1);
    grid->addWidget(m_ok, row, 2);

    // Any click on a choice makes "設定" available.
    for (QAbstractButton* button : findChildren<QAbstractButton*>())
        if (button != m_init && button != m_cancel && button != m_ok)
            connect(button, &QAbstractButton::clicked, m_ok, [this] { m_ok->setEnabled(true); });
    connect(m_init, &QPushButton::clicked, this, [this] {
        m_ok->setEnabled(true);
        ResetOptions();
    });
    connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_ok, &QPushButton::clicked, this, &QDialog::accept);
    // Enter confirms (once something was changed) and never resets: only a
    // click or Space on "初期値" does that.
    m_init->setAutoDefault(false);
    m_cancel->setAutoDefault(false);
    m_ok->setDefault(true);
    SetToolTip(m_settings.Tip);
}

void FrmOption::prepare()
{
    // ShowOptions
    m_subDir->setChecked(m_settings.SubDir);
    m_hidden->setChecked(m_settings.Hiddn);
    m_ucase->setChecked(m_settings.UCase);
    m_double->setChecked(m_settings.Double);
    m_pattern[m_settings.Pattern >= 0 && m_settings.Pattern <= 3 ? static_cast<size_t>(m_settings.Pattern) : 0]
        ->setChecked(true);
    m_format[m_settings.AshukuExe == 1 ? 1 : 0]->setChecked(true);
    m_resize->setChecked(m_settings.Resize);
    m_tip->setChecked(m_settings.Tip);
    // EnableZipChoices: without the ZIP library both settings fall back at once.
    for (int i = 1; i < 4; ++i)
        m_pattern[static_cast<size_t>(i)]->setEnabled(m_zipAvailable);
    m_format[1]->setEnabled(m_zipAvailable);
    if (!m_zipAvailable) {
        m_settings.Pattern = 0;
        m_settings.AshukuExe = 0;
        m_pattern[0]->setChecked(true);
        m_format[0]->setChecked(true);
    }
    m_ok->setEnabled(false);
    m_subDir->setFocus(Qt::OtherFocusReason);
}

bool FrmOption::ApplyOptions()
{
    m_settings.SubDir = m_subDir->isChecked();
    m_settings.Hiddn = m_hidden->isChecked();
    m_settings.UCase = m_ucase->isChecked();
    m_settings.Double = m_double->isChecked();
    for (int i = 0; i < 4; ++i)
        if (m_pattern[static_cast<size_t>(i)]->isChecked()) {
            m_settings.Pattern = static_cast<std::int16_t>(i);
            break;
        }
    for (int i = 0; i < 2; ++i)
        if (m_format[static_cast<size_t>(i)]->isChecked()) {
            m_settings.AshukuExe = static_cast<std::int16_t>(i);
            break;
        }
    m_settings.Resize = m_resize->isChecked();
    if (m_tip->isChecked() == m_settings.Tip)
        return false;
    m_settings.Tip = m_tip->isChecked();
    SetToolTip(m_settings.Tip);
    return true;
}

void FrmOption::ResetOptions()
{
    m_subDir->setChecked(true);
    m_hidden->setChecked(false);
    m_ucase->setChecked(true);
    m_double->setChecked(false);
    m_pattern[0]->setChecked(true);
    m_format[0]->setChecked(true);
    m_resize->setChecked(true);
    m_tip->setChecked(true);
}

void FrmOption::SetToolTip(bool on)
{
    auto tip = [on](QWidget* widget, const QString& text) { widget->setToolTip(on ? text : QString()); };
    tip(m_subDir, catalogueText(8020));
    tip(m_hidden, catalogueText(8021));
    tip(m_ucase, catalogueText(8023));
    tip(m_double, catalogueText(8024));
    for (int i = 0; i < 4; ++i)
        tip(m_pattern[static_cast<size_t>(i)], catalogueText(static_cast<std::int16_t>(8031 + i)));
    tip(m_format[0], catalogueText(8037));
    tip(m_format[1], catalogueText(8038));
    tip(m_resize, seriesText(8057));
    tip(m_tip, seriesText(8059));
    tip(m_init, seriesText(8045));
    tip(m_cancel, seriesText(8046));
    tip(m_ok, seriesText(8047));
}

} // namespace ui
