// frmOption: the program-wide options that steer the engine and the windows.
#pragma once

#include <QDialog>

#include <array>

#include "settings/settings.h"

class QCheckBox;
class QPushButton;
class QRadioButton;

namespace ui {

class FrmOption : public QDialog {
public:
    // FrmOption: works on `settings`; `zipAvailable` enables the ZIP choices.
    FrmOption(settings::ProgramSettings& settings, bool zipAvailable, QWidget* parent = nullptr);

    // ShowOptions and EnableZipChoices, as every showing of the dialog runs them.
    void prepare();
    // ApplyOptions: the controls into the settings; true when Tip changed.
    bool ApplyOptions();
    // ResetOptions: the controls to the factory defaults (the settings stay).
    void ResetOptions();
    void SetToolTip(bool on);

    QCheckBox* subDir() const { return m_subDir; }
    QCheckBox* hidden() const { return m_hidden; }
    QCheckBox* tip() const { return m_tip; }
    QRadioButton* pattern(int index) const { return m_pattern[static_cast<size_t>(index)]; }
    QRadioButton* format(int index) const { return m_format[static_cast<size_t>(index)]; }
    QPushButton* okButton() const { return m_ok; }
    QPushButton* initButton() const { return m_init; }
    QPushButton* cancelButton() const { return m_cancel; }

private:
    settings::ProgramSettings& m_settings;
    bool m_zipAvailable;
    QCheckBox* m_subDir;
    QCheckBox* m_hidden;
    QCheckBox* m_ucase;
    QCheckBox* m_double;
    std::array<QRadioButton*, 4> m_pattern{};
    std::array<QRadioButton*, 2> m_format{};
    QCheckBox* m_resize;
    QCheckBox* m_tip;
    QPushButton* m_init;
    QPushButton* m_cancel;
    QPushButton* m_ok;
};

} // namespace ui
