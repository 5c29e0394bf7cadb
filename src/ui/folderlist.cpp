// The drive list and the folder list.
#include "folderlist.h"

#include <QAbstractScrollArea>
#include <QEvent>
#include <QKeyEvent>

#include "platform/platform.h"

namespace ui {

namespace {

// Follows the list's font: the minimum height of `lines` lines and the frame.
class LinesAtLeast final : public QObject {
public:
    LinesAtLeast(QAbstractScrollArea* list, int lines) : QObject(list), m_lines(lines) { apply(list); }
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::FontChange)
            apply(static_cast<QAbstractScrollArea*>(watched));
        return false;
    }

private:
    void apply(QAbstractScrollArea* list)
    {
        list->setMinimumHeight(list->fontMetrics().lineSpacing() * m_lines + 2 * list->frameWidth() + 4);
    }
    int m_lines;
};

} // namespace

void keepLines(QAbstractScrollArea* list, int lines)
{
    list->installEventFilter(new LinesAtLeast(list, lines));
}

DriveList::DriveList(QWidget* parent)
    : QComboBox(parent)
{
    refresh();
}

void DriveList::refresh()
{
    const QString current = drive();
    blockSignals(true);
    clear();
    for (const platform::Drive& entry : platform::drives())
        addItem(QString::fromStdString(platform::driveEntryText(entry)));
    const int index = findText(current, Qt::MatchStartsWith);
    if (index >= 0)
        setCurrentIndex(index);
    blockSignals(false);
}

QString DriveList::drive() const
{
    return currentText().left(2);
}

bool DriveList::selectDrive(const QString& path)
{
    if (path.size() < 2 || path.at(1) != QLatin1Char(':'))
        return false;
    const int index = findText(path.left(1).toLower() + QStringLiteral(":"), Qt::MatchStartsWith);
    if (index < 0)
        return false;
    setCurrentIndex(index);
    return true;
}

void DriveList::keyPressEvent(QKeyEvent* event)
{
    if (m_onEnter && (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)) {
        m_onEnter();
        return;
    }
    QComboBox::keyPressEvent(event);
}

FolderList::FolderList(QWidget* parent)
    : QListWidget(parent)
{
    connect(this, &QListWidget::itemDoubleClicked, this, [this](QListWidgetItem* item) { openRow(row(item)); });
}

bool FolderList::openFolder(const QString& path)
{
    const auto full = platform::fullPath(path.toStdString());
    if (!full || !platform::isFolder(*full))
        return false;
    // The parents, from the root down, then the open folder, then its subfolders.
    QStringList parents;
    QString walk = QString::fromStdString(*full);
    while (true) {
        parents.prepend(walk);
        if (walk.size() <= 3)
            break;
        const int slash = walk.lastIndexOf(QLatin1Char('\\'));
        walk = slash <= 2 ? walk.left(3) : walk.left(slash);
    }
    QStringList children;
    const auto walked = platform::walkFolder(*full, platform::WalkOptions{false}, [&](const platform::WalkEntry& entry) {
        if (entry.type == platform::EntryType::Folder)
            children << QString::fromStdString(entry.relative);
        return true;
    });
    if (!walked)
        return false;
    clear();
    m_paths.clear();
    for (int i = 0; i < parents.size(); ++i) {
        const QString name = i == 0 ? parents[i] : parents[i].mid(parents[i].lastIndexOf(QLatin1Char('\\')) + 1);
        addItem(QString(i * 2, QLatin1Char(' ')) + name);
        m_paths << parents[i];
    }
    const QString base = parents.last().endsWith(QLatin1Char('\\')) ? parents.last() : parents.last() + QLatin1Char('\\');
    for (const QString& child : children) {
        addItem(QString(parents.size() * 2, QLatin1Char(' ')) + child);
        m_paths << base + child;
    }
    m_folder = parents.last();
    setCurrentRow(static_cast<int>(parents.size()) - 1);
    if (m_onOpened)
        m_onOpened();
    return true;
}

void FolderList::refresh()
{
    openFolder(m_folder);
}

void FolderList::openRow(int row)
{
    if (row >= 0 && row < m_paths.size())
        openFolder(m_paths[row]);
}

void FolderList::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        openRow(currentRow());
        return;
    }
    if (event->key() == Qt::Key_Backspace) {
        openRow(currentRow() - 1);
        return;
    }
    QListWidget::keyPressEvent(event);
}

void openDriveFolder(DriveList& drives, FolderList& folders)
{
    const QString drive = drives.drive();
    const char letter = drive.isEmpty() ? 0 : drive.at(0).toLatin1();
    if (!letter || !platform::isDriveReady(letter)
        || !folders.openFolder(QString::fromStdString(platform::currentFolder(letter)))) {
        drives.blockSignals(true);
        drives.selectDrive(folders.folder());
        drives.blockSignals(false);
    }
}

} // namespace ui
