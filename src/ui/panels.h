// The five panels of the main window: source drive, archive name, storage
// folder, execution history and archive list.
#pragma once

#include <QWidget>

#include <array>
#include <functional>
#include <string>

#include "folders/alias_list.h"

class QAction;
class QCheckBox;
class QMenu;
class QComboBox;
class QDragEnterEvent;
class QDropEvent;
class QLineEdit;
class QListWidget;
class QRadioButton;

namespace ui {

class Prompts;

// mdiInDir: the drive whose whole contents the next run packs.
class MdiInDir : public QWidget {
public:
    explicit MdiInDir(QWidget* parent = nullptr);
    // DriveName: "a:" (letter and colon, lower case), or empty.
    QString DriveName() const;
    // setDriveName: select the drive of `path`; a drive that is not ready
    // falls back to the drive of the current folder.
    void setDriveName(const QString& path);
    // GetLabel: the label of the selected drive (empty when not ready).
    QString GetLabel() const;
    void RefreshForm();
    QComboBox* drives() const { return m_drives; }

    // Disk images as drives: the popup's entry asks for image files (through
    // `chooser`, a file dialog unless a test sets it), files and folders
    // dropped on the panel are taken the same way. useImage attaches the
    // image at the native path `path` as a drive and selects it; false (after
    // a message through `prompts`, when set) when the file is not an image
    // this program reads.
    bool useImage(const QString& path);
    // useImages: the images that `paths` name (a folder gives its image
    // files) queue as the disks of one drive: the first is attached and
    // selected, and the drive's entry shows which of how many it is. Files
    // that are no image are left out with one message naming them; false
    // when none is left.
    bool useImages(const QStringList& paths);
    // imageQueue: the queued images (native paths); empty without a queue.
    const QStringList& imageQueue() const { return m_queue; }
    // showQueued: attach the queued image `index` in the queue's drive and
    // select it; the reason when it cannot be attached.
    QString showQueued(int index);
    void chooseImage();
    void setImageChooser(std::function<QStringList()> chooser) { m_chooser = std::move(chooser); }
    void setPrompts(Prompts* prompts) { m_prompts = prompts; }
    // restoreImage: attach the image kept from the last session, quietly;
    // nothing when it is gone or no longer an image.
    void restoreImage(const std::string& path);
    // setOnImageAttached: what else follows an attached image (the other
    // panels' drive lists).
    void setOnImageAttached(std::function<void()> followers) { m_onImageAttached = std::move(followers); }

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    QComboBox* m_drives;
    std::function<QStringList()> m_chooser;
    QStringList m_queue;  // images queued as the disks of the attached drive
    int m_queued = 0;     // the one attached now
    std::function<void()> m_onImageAttached;
    Prompts* m_prompts = nullptr;
};

// mdiFile: the archive's base name: the label, a typed name, or a typed name
// that counts up by itself.
class MdiFile : public QWidget {
public:
    MdiFile(MdiInDir& source, Prompts& prompts, QWidget* parent = nullptr);
    // File_Name: re-reads the label, then the chosen text without its spaces.
    QString File_Name();
    // FIleCountUp: advances the typed name in automatic count mode; false
    // (after its message) when the number cannot be counted.
    bool FIleCountUp();
    void RefreshForm();

    QRadioButton* labelOption() const { return m_optLabel; }
    QRadioButton* fileOption() const { return m_optFile; }
    QLineEdit* labelText() const { return m_txtLabel; }
    QLineEdit* fileText() const { return m_txtFile; }
    QCheckBox* autoCount() const { return m_cbxAuto; }

private:
    MdiInDir& m_source;
    Prompts& m_prompts;
    QRadioButton* m_optLabel;
    QLineEdit* m_txtLabel;
    QRadioButton* m_optFile;
    QLineEdit* m_txtFile;
    QCheckBox* m_cbxAuto;
};

class DriveList;
class FolderList;
class FrmMenuMente;

// mdiOutDir: the storage folder that receives the archives, and the folder
// aliases at the end of its popup menu.
class MdiOutDir : public QWidget {
public:
    explicit MdiOutDir(Prompts& prompts, QWidget* parent = nullptr);
    // DirName: the storage folder as the disk spells it ("D:\ARC").
    QString DirName() const;
    // setDirName: open `folder`; a folder that does not exist, or a drive
    // without a medium, ends in the current folder.
    void setDirName(const QString& folder);
    void RefreshForm();
    DriveList* drives() const { return m_drives; }
    FolderList* folders() const { return m_folders; }
    QLineEdit* folderText() const { return m_folder; }

    folders::AliasList& aliases() { return m_aliases; }
    // refreshAliasMenu: the popup's alias entries and their enabled states.
    void refreshAliasMenu();
    void mnuAdd_Click();
    void mnuAddDir_Click(int index);
    void mnuMente_Click();
    QMenu* popup() const { return m_popup; }
    FrmMenuMente* menuMente() const { return m_mente_dialog; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void refreshDirText();
    void showCaption();

    Prompts& m_prompts;
    folders::AliasList m_aliases;
    QMenu* m_popup;
    QAction* m_add;
    QAction* m_mente;
    QAction* m_bar;
    std::array<QAction*, 10> m_aliasActions{};
    FrmMenuMente* m_mente_dialog;
    DriveList* m_drives;
    FolderList* m_folders;
    QLineEdit* m_folder;
    QString m_freeSpace;
};

// fittedTitle: `head` followed by `tail` as a sub-window `frame` can show it
// in its title bar: when both do not fit, `head` is shortened with an
// ellipsis and `tail` stays whole.
QString fittedTitle(const QWidget& frame, const QString& head, const QString& tail);

// mdiStatus: the execution history.
class MdiStatus : public QWidget {
public:
    MdiStatus(Prompts& prompts, QWidget* parent = nullptr);
    // ListInAdd: append one line and make it the current one (the oldest
    // lines go past the limit).
    void ListInAdd(const QString& line);
    // RefreshForm: empty the history.
    void RefreshForm();
    // LogCopy: the history as one text on the clipboard.
    void LogCopy();
    // LogSave: the history as a CP932 ".LOG" file chosen in the save dialog.
    void LogSave();
    QStringList lines() const;
    QListWidget* list() const { return m_list; }

private:
    Prompts& m_prompts;
    QListWidget* m_list;
};

// mdiOutFile: the archives made since the program started, dragged out as files.
class MdiOutFile : public QWidget {
public:
    explicit MdiOutFile(QWidget* parent = nullptr);
    // ListInAdd: add a full archive path (a dialect path) unless it is
    // listed (exact comparison) or the list is full.
    void ListInAdd(const QString& path);
    // Refresh: each entry in its on-disk spelling; entries whose file is gone leave.
    void Refresh();
    void SelectAll();
    void SelectClear();
    void Clear();
    QStringList paths() const;
    QListWidget* list() const { return m_list; }

private:
    QListWidget* m_list;
};

} // namespace ui
