// frmDefaultDrive and frmDefault: the generic dialogs that edit a default
// drive or a default folder. The caller fills the public fields, sets the
// value, shows the dialog and takes the value over only when pblnOk is True.
#pragma once

#include <QDialog>

#include <functional>

class QCheckBox;
class QMenu;
class QLabel;
class QLineEdit;
class QPushButton;

namespace ui {

class DriveList;
class FolderList;

class FrmDefault : public QDialog {
public:
    // FrmDefault: a folder dialog (frmDefault) when `withFolder`, else a drive dialog (frmDefaultDrive).
    explicit FrmDefault(bool withFolder, QWidget* parent = nullptr);

    bool pblnOk = false;
    QString pstr_lblDrive_Caption;
    QString pstr_cbxDrive_Hint;
    QString pstr_drvDrive_Hint;
    QString pstr_dlbDir_Hint;
    QString pstr_txtDir_Hint;
    bool pblnYukoMukouOk = true;
    bool pblnDiskFreeOk = true;
    bool showTips = true;
    // Where the popup's copy commands take their values from.
    std::function<QString()> sourceDrive;
    std::function<QString()> storageFolder;
    QMenu* popup() const { return m_popup; }

    QString DriveName() const;
    void setDriveName(const QString& value);
    QString DirName() const;
    void setDirName(const QString& value);
    bool Yuko() const;
    void setYuko(bool value);

    // activate: what every showing does (run by exec, callable by tests).
    void activate();
    // copyFrom: the popup's copy commands, with the value to copy.
    void copyDrive(const QString& path);
    void copyFolder(const QString& path);
    // copyDriveFolder: a folder dialog opens the current folder of `drive`
    // ("a:"); a drive without a medium leaves the dialog as it was.
    void copyDriveFolder(const QString& drive);

    QCheckBox* yukoBox() const { return m_yuko; }
    QLabel* label() const { return m_label; }
    DriveList* drives() const { return m_drives; }
    FolderList* folders() const { return m_folders; }
    QPushButton* okButton() const { return m_ok; }
    QPushButton* cancelButton() const { return m_cancel; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void enableByYuko();
    void showFolderInfo();

    bool m_withFolder;
    QPushButton* m_ok;
    QPushButton* m_cancel;
    QCheckBox* m_yuko;
    QLabel* m_label;
    DriveList* m_drives;
    FolderList* m_folders = nullptr;
    QLineEdit* m_text = nullptr;
    QMenu* m_popup;
};

} // namespace ui
