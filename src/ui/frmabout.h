// frmAbout: the program's name and version, the maker's contact texts and the
// archiver libraries found at start-up.
#pragma once

#include <QDialog>

#include <array>

#include "engine/archiver_library.h"

class QLabel;

namespace ui {

class FrmAbout : public QDialog {
public:
    FrmAbout(const engine::Availability& availability, QWidget* parent = nullptr);
    QLabel* programLine(int index) const { return m_prog[static_cast<size_t>(index)]; }
    QLabel* versionLine(int index) const { return m_ver[static_cast<size_t>(index)]; }

private:
    std::array<QLabel*, 3> m_prog{};
    std::array<QLabel*, 3> m_ver{};
};

} // namespace ui
