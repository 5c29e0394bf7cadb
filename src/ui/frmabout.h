// frmAbout: the About box: the program's name and version, the maker's
// contact texts and the archiver libraries found at start-up.
#pragma once

#include <QDialog>

#include <array>
#include <utility>
#include <vector>

#include "engine/archiver_library.h"

class QLabel;
class QLineEdit;

namespace ui {

class FrmAbout : public QDialog {
public:
    // FrmAbout: the box laid out on its design (4710 x 3360 twips inside),
    // the library lines filled once from `availability`.
    FrmAbout(const engine::Availability& availability, QWidget* parent = nullptr);
    // clearLibraryLines: what a failed load leaves: every library line empty.
    void clearLibraryLines();
    QLabel* programLine(int index) const { return m_prog[static_cast<size_t>(index)]; }
    QLabel* versionLine(int index) const { return m_ver[static_cast<size_t>(index)]; }
    QLabel* picture() const { return m_picture; }

protected:
    void changeEvent(QEvent* event) override;

private:
    void layOut();

    std::vector<std::pair<QWidget*, QRect>> m_design; // every control at its design place
    std::array<QLabel*, 3> m_prog{};
    std::array<QLabel*, 3> m_ver{};
    QLabel* m_picture;
};

} // namespace ui
