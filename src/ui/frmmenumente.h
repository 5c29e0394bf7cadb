// frmMenuMente: renames, reorders and deletes the folder aliases, on a
// working copy that the caller takes over only when pblnOk is True.
#pragma once

#include <QDialog>

#include "folders/alias_list.h"

class QLineEdit;
class QListWidget;
class QPushButton;

namespace ui {

class Prompts;

class FrmMenuMente : public QDialog {
public:
    FrmMenuMente(Prompts& prompts, QWidget* parent = nullptr);

    bool pblnOk = false;
    QString pstr_Me_Caption;
    // The working copy: set before showing, read after a confirm.
    folders::AliasList aliases;

    void activate();
    QListWidget* list() const { return m_list; }
    QLineEdit* folderText() const { return m_text; }
    QPushButton* button(const char* name) const;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void showSelected();
    void setControlEnabled();
    void rebuild(int select);

    Prompts& m_prompts;
    QListWidget* m_list;
    QLineEdit* m_text;
};

} // namespace ui
