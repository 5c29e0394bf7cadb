// The five panels of the main window.
#include "panels.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMimeData>
#include <QRadioButton>
#include <QResizeEvent>
#include <QStyle>
#include <QStyleOption>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <functional>
#include <vector>

#include "engine/basvelt.h"
#include "engine/history_log.h"
#include "naming/naming.h"
#include "platform/platform.h"
#include "folderlist.h"
#include "frmmenumente.h"
#include "language.h"
#include "prompts.h"

namespace ui {

namespace {

QString qs(const std::string& text)
{
    return QString::fromStdString(text);
}

// The archive list drags its selected files out as local files, copy only.
class ArchiveListWidget final : public QListWidget {
public:
    explicit ArchiveListWidget(QWidget* parent) : QListWidget(parent)
    {
        setSelectionMode(QAbstractItemView::ExtendedSelection);
        setDragEnabled(true);
        setDragDropMode(QAbstractItemView::DragOnly);
        setDefaultDropAction(Qt::CopyAction);
    }

protected:
    QMimeData* mimeData(const QList<QListWidgetItem*>& items) const override
    {
        // Every selected entry from first to last in list order, whatever the order of the clicks.
        QList<QListWidgetItem*> ordered = items;
        std::sort(ordered.begin(), ordered.end(),
            [this](QListWidgetItem* a, QListWidgetItem* b) { return row(a) < row(b); });
        auto* data = new QMimeData;
        QList<QUrl> urls;
        for (const QListWidgetItem* item : ordered) {
            const auto native = platform::toNative(item->text().toStdString());
            if (native)
                urls.push_back(QUrl::fromLocalFile(qs(*native)));
        }
        data->setUrls(urls);
        return data;
    }
    Qt::DropActions supportedDropActions() const override { return Qt::CopyAction; }
};

// Right-button popups of a panel (and of its list), in the given order.
void addPopup(QWidget* panel, QWidget* list, std::vector<std::pair<QString, std::function<void()>>> items)
{
    auto* menu = new QMenu(panel);
    menu->setObjectName(QStringLiteral("mnuPopup"));
    for (auto& [caption, action] : items)
        menu->addAction(caption, panel, action);
    for (QWidget* widget : {panel, list}) {
        if (!widget)
            continue;
        widget->setContextMenuPolicy(Qt::CustomContextMenu);
        QObject::connect(widget, &QWidget::customContextMenuRequested, panel,
            [menu, widget](const QPoint& at) { menu->popup(widget->mapToGlobal(at)); });
    }
}

} // namespace

// ── Source drive ────────────────────────────────────────────────────────────

MdiInDir::MdiInDir(QWidget* parent)
    : QWidget(parent)
    , m_drives(new QComboBox(this))
{
    setObjectName(QStringLiteral("mdiInDir"));
    setWindowTitle(catalogueText(1000));
    m_drives->setObjectName(QStringLiteral("drvDrive"));
    m_drives->setToolTip(catalogueText(1001));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_drives);
    layout->addStretch();
    addPopup(this, nullptr, {{seriesText(1005), [this] { RefreshForm(); }},
                                {QStringLiteral("ディスクイメージをドライブに(&I)..."), [this] { chooseImage(); }}});
    setAcceptDrops(true);
    m_chooser = [this] {
        QFileDialog dialog(this, QStringLiteral("ディスクイメージを開く"), QString(), imageFileFilter());
        dialog.setObjectName(QStringLiteral("cdlImage"));
        dialog.setFileMode(QFileDialog::ExistingFiles);
        // The type box names the kind; the extensions it matches would not fit.
        dialog.setOption(QFileDialog::HideNameFilterDetails);
        japaneseFileDialog(dialog);
        return dialog.exec() == QDialog::Accepted ? dialog.selectedFiles() : QStringList();
    };
    RefreshForm();
}

bool MdiInDir::useImage(const QString& path)
{
    const platform::Result<char> letter = platform::attachImage(QFileInfo(path).absoluteFilePath().toStdString());
    if (!letter) {
        if (m_prompts)
            m_prompts->message(this, QStringLiteral("ディスクイメージとして読めません。\n") + qs(letter.error().message));
        return false;
    }
    m_queue.clear();
    m_queued = 0;
    RefreshForm();
    const int index = m_drives->findText(QString(QChar(*letter)) + QStringLiteral(":"), Qt::MatchStartsWith);
    if (index >= 0)
        m_drives->setCurrentIndex(index);
    if (m_onImageAttached)
        m_onImageAttached();
    return true;
}

bool MdiInDir::useImages(const QStringList& paths)
{
    std::vector<std::string> inputs;
    for (const QString& path : paths)
        inputs.push_back(QFileInfo(path).absoluteFilePath().toStdString());
    std::vector<std::string> problems;
    QStringList images;
    for (const std::string& file : platform::imageFiles(inputs, problems)) {
        if (const platform::Result<void> usable = platform::checkDiskImage(file); usable)
            images << qs(file);
        else
            problems.push_back(usable.error().message);
    }
    if (!problems.empty() && m_prompts) {
        QStringList lines;
        for (const std::string& problem : problems)
            lines << qs(problem);
        m_prompts->message(this, QStringLiteral("ディスクイメージとして読めません。\n") + lines.join(QLatin1Char('\n')));
    }
    if (images.isEmpty())
        return false;
    if (images.size() == 1)
        return useImage(images.first());
    m_queue = images;
    return showQueued(0).isEmpty();
}

QString MdiInDir::showQueued(int index)
{
    if (index < 0 || index >= m_queue.size())
        return QStringLiteral("no such image in the queue");
    const QString current = DriveName();
    const char keep = current.isEmpty() ? 0 : current.at(0).toLatin1();
    m_queued = index;
    const platform::Result<char> letter = platform::attachImage(m_queue.at(index).toStdString(), keep);
    RefreshForm();
    if (!letter)
        return qs(letter.error().message);
    const int row = m_drives->findText(QString(QChar(*letter)) + QStringLiteral(":"), Qt::MatchStartsWith);
    if (row >= 0)
        m_drives->setCurrentIndex(row);
    // Another disk in the same drive: its label shows where the drive's change is followed.
    if (m_onImageAttached)
        m_onImageAttached();
    return {};
}

void MdiInDir::chooseImage()
{
    const QStringList paths = m_chooser ? m_chooser() : QStringList();
    if (!paths.isEmpty())
        useImages(paths);
}

void MdiInDir::restoreImage(const std::string& path)
{
    if (!path.empty() && path[0] == '/' && platform::isDiskImage(path) && platform::attachImage(path).ok()) {
        RefreshForm();
        if (m_onImageAttached)
            m_onImageAttached();
    }
}

namespace {

// The local files and folders a drag brings; empty when anything else comes with them.
QStringList droppedPaths(const QMimeData* data)
{
    QStringList paths;
    for (const QUrl& url : data->urls()) {
        if (!url.isLocalFile() || !QFileInfo::exists(url.toLocalFile()))
            return {};
        paths << url.toLocalFile();
    }
    return paths;
}

} // namespace

void MdiInDir::dragEnterEvent(QDragEnterEvent* event)
{
    if (!droppedPaths(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void MdiInDir::dropEvent(QDropEvent* event)
{
    const QStringList paths = droppedPaths(event->mimeData());
    if (!paths.isEmpty()) {
        event->acceptProposedAction();
        useImages(paths);
    }
}

void MdiInDir::RefreshForm()
{
    const QString current = DriveName();
    m_drives->blockSignals(true);
    m_drives->clear();
    const std::string attached = platform::attachedImage();
    const bool queued = m_queue.size() > 1 && qs(attached) == m_queue.value(m_queued);
    for (const platform::Drive& drive : platform::drives()) {
        QString entry = qs(platform::driveEntryText(drive));
        // A queue's drive says which of its disks is in.
        if (queued && drive.image == attached)
            entry += QStringLiteral(" (%1/%2)").arg(m_queued + 1).arg(m_queue.size());
        m_drives->addItem(entry);
    }
    // Nothing chosen yet stays so: the start-up drive is chosen by the frame,
    // and no other drive's label is read before it.
    const int index = current.isEmpty() ? -1 : m_drives->findText(current, Qt::MatchStartsWith);
    m_drives->setCurrentIndex(index >= 0 || current.isEmpty() ? index : m_drives->currentIndex());
    m_drives->blockSignals(false);
}

QString MdiInDir::DriveName() const
{
    return m_drives->currentText().left(2);
}

void MdiInDir::setDriveName(const QString& path)
{
    const char letter = path.isEmpty() ? 0 : path.at(0).toLower().toLatin1();
    if (!letter || !platform::isDriveReady(letter)) {
        setDriveName(QString(QChar(platform::currentDrive())) + QStringLiteral(":"));
        return;
    }
    const int index = m_drives->findText(QString(QChar(letter)) + QStringLiteral(":"), Qt::MatchStartsWith);
    if (index >= 0)
        m_drives->setCurrentIndex(index);
}

QString MdiInDir::GetLabel() const
{
    const QString drive = DriveName();
    return drive.isEmpty() ? QString() : qs(naming::driveLabel(drive.at(0).toLatin1()));
}

// ── Archive name ────────────────────────────────────────────────────────────

MdiFile::MdiFile(MdiInDir& source, Prompts& prompts, QWidget* parent)
    : QWidget(parent)
    , m_source(source)
    , m_prompts(prompts)
    , m_optLabel(new QRadioButton(catalogueText(3001), this))
    , m_txtLabel(new QLineEdit(this))
    , m_optFile(new QRadioButton(catalogueText(3002), this))
    , m_txtFile(new QLineEdit(this))
    , m_cbxAuto(new QCheckBox(catalogueText(3003), this))
{
    setObjectName(QStringLiteral("mdiFile"));
    setWindowTitle(catalogueText(3000));
    m_optLabel->setObjectName(QStringLiteral("optLabel"));
    m_txtLabel->setObjectName(QStringLiteral("txtLabel"));
    m_optFile->setObjectName(QStringLiteral("optFile"));
    m_txtFile->setObjectName(QStringLiteral("txtFile"));
    m_cbxAuto->setObjectName(QStringLiteral("cbxAuto"));
    m_optLabel->setToolTip(catalogueText(3006));
    m_txtLabel->setToolTip(catalogueText(3007));
    m_optFile->setToolTip(catalogueText(3008));
    m_txtFile->setToolTip(catalogueText(3009));
    m_cbxAuto->setToolTip(catalogueText(3010));
    m_txtLabel->setReadOnly(true);
    auto* layout = new QVBoxLayout(this);
    for (QWidget* widget : std::initializer_list<QWidget*>{m_optLabel, m_txtLabel, m_optFile, m_txtFile, m_cbxAuto})
        layout->addWidget(widget);
    layout->addStretch();
    m_optLabel->setChecked(true);
    m_cbxAuto->setChecked(true);
    m_cbxAuto->setEnabled(false);
    connect(m_optFile, &QRadioButton::toggled, m_cbxAuto, [this](bool on) { m_cbxAuto->setEnabled(on); });
}

void MdiFile::RefreshForm()
{
    m_txtLabel->setText(m_source.GetLabel());
    if (m_txtFile->text().trimmed().isEmpty())
        m_txtFile->setText(m_txtLabel->text());
}

QString MdiFile::File_Name()
{
    m_txtLabel->setText(m_source.GetLabel());
    const QString chosen = m_optLabel->isChecked() ? m_txtLabel->text() : m_txtFile->text();
    return qs(naming::trimmed(chosen.toStdString()));
}

bool MdiFile::FIleCountUp()
{
    if (!m_optFile->isChecked() || !m_cbxAuto->isChecked())
        return true;
    const naming::CountUp next = naming::countUp(m_txtFile->text().toStdString());
    if (!next.counted) {
        m_prompts.message(this, catalogueText(next.messageId));
        return false;
    }
    m_txtFile->setText(qs(next.name));
    return true;
}

// ── Storage folder ──────────────────────────────────────────────────────────

MdiOutDir::MdiOutDir(Prompts& prompts, QWidget* parent)
    : QWidget(parent)
    , m_prompts(prompts)
    , m_popup(new QMenu(this))
    , m_mente_dialog(new FrmMenuMente(prompts, this))
    , m_drives(new DriveList(this))
    , m_folders(new FolderList(this))
    , m_folder(new QLineEdit(this))
{
    setObjectName(QStringLiteral("mdiOutDir"));
    setWindowTitle(catalogueText(4000));
    m_drives->setObjectName(QStringLiteral("drvDrive"));
    m_folders->setObjectName(QStringLiteral("dlbDir"));
    m_folder->setObjectName(QStringLiteral("txtDir"));
    m_drives->setToolTip(catalogueText(4001));
    m_folders->setToolTip(catalogueText(4002));
    m_folder->setToolTip(catalogueText(4003));
    m_folder->setReadOnly(true);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_drives);
    layout->addWidget(m_folders, 1);
    layout->addWidget(m_folder);
    keepLines(m_folders, 2);
    m_folders->setOnOpened([this] { refreshDirText(); });
    m_drives->setOnEnter([this] { m_folders->setFocus(); });
    // The popup: refresh, the alias commands, then the aliases themselves.
    m_popup->setObjectName(QStringLiteral("mnuPopup"));
    m_popup->addAction(seriesText(1005), this, [this] { RefreshForm(); });
    m_add = m_popup->addAction(seriesText(1006), this, [this] { mnuAdd_Click(); });
    m_mente = m_popup->addAction(seriesText(1007), this, [this] { mnuMente_Click(); });
    m_bar = m_popup->addSeparator();
    for (int i = 0; i < 10; ++i)
        m_aliasActions[static_cast<size_t>(i)] = m_popup->addAction(QString(), this, [this, i] { mnuAddDir_Click(i); });
    for (QWidget* widget : std::initializer_list<QWidget*>{this, m_folders, m_folder}) {
        widget->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(widget, &QWidget::customContextMenuRequested, this,
            [this, widget](const QPoint& at) { m_popup->popup(widget->mapToGlobal(at)); });
    }
    refreshAliasMenu();
    connect(m_drives, &QComboBox::currentIndexChanged, this, [this] {
        openDriveFolder(*m_drives, *m_folders);
    });
    setDirName(qs(platform::currentFolder()));
}

void MdiOutDir::refreshAliasMenu()
{
    const int count = m_aliases.count();
    for (int i = 0; i < 10; ++i) {
        QAction* action = m_aliasActions[static_cast<size_t>(i)];
        action->setText(i < count ? qs(m_aliases.at(i).name) : QString());
        action->setVisible(i < count);
    }
    m_mente->setEnabled(count > 0);
    m_bar->setVisible(count > 0);
    m_add->setEnabled(count < folders::kAliasSlots);
}

void MdiOutDir::mnuAdd_Click()
{
    if (m_aliases.count() >= folders::kAliasSlots)
        return;
    const QString folder = DirName();
    const QString name = m_prompts.inputText(this, seriesText(1100) + QStringLiteral("\r") + folder, seriesText(1101),
        qs(basVelt::ShortenPath(folder.toStdString())));
    if (name.isEmpty())
        return;
    if (m_aliases.add(name.toStdString(), folder.toStdString()) == folders::AliasList::AddResult::Duplicate)
        m_prompts.message(this, seriesText(1102));
    refreshAliasMenu();
}

void MdiOutDir::mnuAddDir_Click(int index)
{
    if (index >= 0 && index < m_aliases.count())
        setDirName(qs(m_aliases.at(index).folder));
}

void MdiOutDir::mnuMente_Click()
{
    if (m_aliases.count() == 0)
        return;
    m_mente_dialog->aliases = m_aliases;
    m_mente_dialog->pstr_Me_Caption = catalogueText(4000);
    m_prompts.runModal(*m_mente_dialog);
    if (!m_mente_dialog->pblnOk)
        return;
    m_aliases = m_mente_dialog->aliases;
    refreshAliasMenu();
}

QString MdiOutDir::DirName() const
{
    return qs(basVelt::LongPathName(m_folders->folder().toStdString()));
}

void MdiOutDir::setDirName(const QString& folder)
{
    m_drives->blockSignals(true);
    const bool selected = m_drives->selectDrive(folder);
    m_drives->blockSignals(false);
    if (!selected || !m_folders->openFolder(folder)) {
        const QString here = qs(platform::currentFolder());
        m_drives->blockSignals(true);
        m_drives->selectDrive(here);
        m_drives->blockSignals(false);
        m_folders->openFolder(here);
    }
    RefreshForm();
}

void MdiOutDir::RefreshForm()
{
    m_drives->refresh();
    m_folders->refresh();
    refreshDirText();
}

void MdiOutDir::refreshDirText()
{
    const std::string spelled = basVelt::LongPathName(m_folders->folder().toStdString());
    m_folder->setText(qs(basVelt::ShortenPath(spelled)));
    m_freeSpace = qs(basVelt::FreeSpaceText(m_drives->drive().toStdString()));
    setWindowTitle(catalogueText(4000) + m_freeSpace);
    showCaption();
}

// The frame's title bar shows the free space in full; the caption before it
// gives way first.
void MdiOutDir::showCaption()
{
    QWidget* frame = parentWidget();
    if (!frame)
        return;
    frame->setWindowTitle(fittedTitle(*frame, catalogueText(4000), m_freeSpace));
}

void MdiOutDir::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    showCaption();
}

QString fittedTitle(const QWidget& frame, const QString& head, const QString& tail)
{
    // The label part of the title bar as the frame lays it out.
    QStyleOptionTitleBar option;
    option.initFrom(&frame);
    option.subControls = QStyle::SC_All;
    option.titleBarFlags = frame.windowFlags();
    option.titleBarState = frame.windowState();
    const int border = 4;
    const int height = frame.style()->pixelMetric(QStyle::PM_TitleBarHeight, &option, &frame);
    option.rect = QRect(border, border, frame.width() - 2 * border, height);
    option.text = head + tail;
    const QFontMetrics metrics(QApplication::font("QMdiSubWindowTitleBar"));
    option.fontMetrics = metrics;
    // The style cuts its own margin off the label again when it paints (14
    // pixels in Fusion).
    const int room =
        frame.style()->subControlRect(QStyle::CC_TitleBar, &option, QStyle::SC_TitleBarLabel, &frame).width() - 16;
    if (metrics.horizontalAdvance(head + tail) <= room)
        return head + tail;
    const int left = room - metrics.horizontalAdvance(tail) - 2; // a little slack for kerning at the seam
    if (left <= 0)
        return tail;
    return metrics.elidedText(head, Qt::ElideRight, left) + tail;
}

// ── Execution history ───────────────────────────────────────────────────────

MdiStatus::MdiStatus(Prompts& prompts, QWidget* parent)
    : QWidget(parent)
    , m_prompts(prompts)
    , m_list(new QListWidget(this))
{
    setObjectName(QStringLiteral("mdiStatus"));
    setWindowTitle(catalogueText(5000));
    m_list->setObjectName(QStringLiteral("lstKekka"));
    // Tens of thousands of lines: one height for all keeps adding a line cheap.
    m_list->setUniformItemSizes(true);
    m_list->setToolTip(catalogueText(5001));
    keepLines(m_list, 2);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_list);
    addPopup(this, m_list, {{seriesText(2008), [this] { RefreshForm(); }}});
}

void MdiStatus::ListInAdd(const QString& line)
{
    while (static_cast<size_t>(m_list->count()) >= engine::kHistoryLimit)
        delete m_list->takeItem(0);
    m_list->addItem(line);
    m_list->setCurrentRow(m_list->count() - 1);
    m_list->update(); // the run works in another thread, so the window repaints by itself
}

void MdiStatus::RefreshForm()
{
    m_list->clear();
}

QStringList MdiStatus::lines() const
{
    QStringList out;
    for (int i = 0; i < m_list->count(); ++i)
        out << m_list->item(i)->text();
    return out;
}

void MdiStatus::LogCopy()
{
    // An empty history copies nothing: whatever the user had on the
    // clipboard stays there.
    if (m_list->count() == 0)
        return;
    QApplication::clipboard()->setText(lines().join(QStringLiteral("\r\n")) + QStringLiteral("\r\n"));
}

void MdiStatus::LogSave()
{
    // "LogFile(*.LOG)|*.LOG|all(*.*)|*.*" as a Qt filter.
    const QStringList parts = seriesText(11).split(QLatin1Char('|'));
    QStringList filters;
    for (int i = 0; i + 1 < parts.size(); i += 2)
        filters << parts[i];
    const QString path = m_prompts.saveFile(this, filters.join(QStringLiteral(";;")), QStringLiteral("LOG"));
    if (path.isEmpty())
        return;
    if (m_list->count() == 0)
        return; // nothing to keep: no question, no file, an existing log stays as it is
    if (QFile::exists(path) && !m_prompts.question(this, seriesText(5100)))
        return;
    std::vector<std::string> text;
    for (const QString& line : lines())
        text.push_back(line.toStdString());
    const std::string bytes = engine::encodeLog(text);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || file.write(bytes.data(), static_cast<qint64>(bytes.size())) != static_cast<qint64>(bytes.size())
        || !file.flush()) {
        m_prompts.message(this, seriesText(5101));
    }
}

// ── Archive list ────────────────────────────────────────────────────────────

MdiOutFile::MdiOutFile(QWidget* parent)
    : QWidget(parent)
    , m_list(new ArchiveListWidget(this))
{
    setObjectName(QStringLiteral("mdiOutFile"));
    setWindowTitle(catalogueText(6000));
    m_list->setObjectName(QStringLiteral("lstOutFile"));
    m_list->setToolTip(catalogueText(6001));
    keepLines(m_list, 2);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_list);
    addPopup(this, m_list, {{seriesText(2008), [this] { Clear(); }},
                               {QStringLiteral("リフレッシュ"), [this] { Refresh(); }},
                               {seriesText(2006), [this] { SelectAll(); }},
                               {seriesText(2007), [this] { SelectClear(); }}});
}

void MdiOutFile::ListInAdd(const QString& path)
{
    if (!m_list->findItems(path, Qt::MatchFixedString | Qt::MatchCaseSensitive).isEmpty())
        return;
    if (static_cast<size_t>(m_list->count()) >= engine::kArchiveListLimit)
        return; // a full list drops new entries without a message
    m_list->addItem(path);
}

void MdiOutFile::Refresh()
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
    for (int i = 0; i < m_list->count();) {
        const std::string spelled = basVelt::LongPathName(m_list->item(i)->text().toStdString());
        if (!spelled.empty() && basVelt::FileExists(spelled)) {
            m_list->item(i)->setText(qs(spelled));
            ++i;
        } else {
            delete m_list->takeItem(i);
        }
    }
    QApplication::restoreOverrideCursor();
}

void MdiOutFile::SelectAll()
{
    for (int i = 0; i < m_list->count(); ++i)
        m_list->item(i)->setSelected(true);
}

void MdiOutFile::SelectClear()
{
    for (int i = 0; i < m_list->count(); ++i)
        m_list->item(i)->setSelected(false);
}

void MdiOutFile::Clear()
{
    m_list->clear();
}

QStringList MdiOutFile::paths() const
{
    QStringList out;
    for (int i = 0; i < m_list->count(); ++i)
        out << m_list->item(i)->text();
    return out;
}

} // namespace ui
