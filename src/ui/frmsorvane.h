// frmSorvane: the program's main window, a frame holding the child panels.
#pragma once

#include <QMainWindow>

class QMdiArea;

class FrmSorvane : public QMainWindow {
public:
    explicit FrmSorvane(QWidget* parent = nullptr);

    QMdiArea* mdiArea() const { return m_mdiArea; }

private:
    QMdiArea* m_mdiArea;
};
