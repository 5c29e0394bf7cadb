// The drive list and the folder list: the reusable pieces of the storage
// folder panel and the folder dialogs.
#pragma once

#include <QComboBox>
#include <QListWidget>

#include <functional>

namespace ui {

// keepLines: `list` may shrink to `lines` lines of its font, and no further
// (a list's own minimum is several lines, too tall for a small panel).
void keepLines(QAbstractScrollArea* list, int lines);

// A list of the machine's drives by their entry texts ("a:", "c: [SYSTEM]").
class DriveList : public QComboBox {
public:
    explicit DriveList(QWidget* parent = nullptr);
    // refresh: the drives as they are now, keeping the selection.
    void refresh();
    // drive: the selected drive's letter and colon ("a:"), or empty.
    QString drive() const;
    // selectDrive: select the drive of `path` (its first letter); false when
    // the drive is not listed.
    bool selectDrive(const QString& path);
    // setOnEnter: what the Enter key does instead of its usual work.
    void setOnEnter(std::function<void()> onEnter) { m_onEnter = std::move(onEnter); }

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    std::function<void()> m_onEnter;
};

// The open folder with its parents above it and its subfolders below it.
// Enter opens the highlighted entry, Backspace the one above it; a double
// click opens an entry too.
class FolderList : public QListWidget {
public:
    explicit FolderList(QWidget* parent = nullptr);
    // openFolder: show `path` (a dialect path); false, and nothing changes,
    // when it is not a folder that can be read.
    bool openFolder(const QString& path);
    // folder: the open folder ("D:\ARC").
    QString folder() const { return m_folder; }
    // refresh: read the open folder again.
    void refresh();
    // onOpened: called after another folder was opened.
    void setOnOpened(std::function<void()> onOpened) { m_onOpened = std::move(onOpened); }

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void openRow(int row);

    QString m_folder;
    QStringList m_paths; // the folder each row stands for
    std::function<void()> m_onOpened;
};

// openDriveFolder: open the current folder of the drive selected in `drives`
// in `folders`; a drive without a medium (or an unreadable folder) puts the
// drive list back on the drive of the folder still open.
void openDriveFolder(DriveList& drives, FolderList& folders);

} // namespace ui
