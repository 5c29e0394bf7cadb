// The default drive and folder dialogs.
#include "frmdefault.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QVBoxLayout>

#include <vector>

#include "engine/basvelt.h"
#include "folderlist.h"
#include "platform/platform.h"
#include "prompts.h"

namespace ui {

FrmDefault::FrmDefault(bool withFolder, QWidget* parent)
    : QDialog(parent)
    , m_withFolder(withFolder)
    , m_ok(new QPushButton(seriesText(8044), this))
    , m_cancel(new QPushButton(seriesText(8043), this))
    , m_yuko(new QCheckBox(this))
    , m_label(new QLabel(this))
    , m_drives(new DriveList(this))
    , m_popup(new QMenu(this))
{
    setObjectName(withFolder ? QStringLiteral("frmDefault") : QStringLiteral("frmDefaultDrive"));
    setWindowTitle(catalogueText(9000));
    auto* column = new QVBoxLayout(this);
    auto* strip = new QHBoxLayout;
    strip->addWidget(m_ok);
    strip->addWidget(m_cancel);
    strip->addStretch();
    column->addLayout(strip);
    auto* labelRow = new QHBoxLayout;
    labelRow->addWidget(m_yuko);
    labelRow->addWidget(m_label, 1);
    column->addLayout(labelRow);
    column->addWidget(m_drives);
    if (withFolder) {
        m_folders = new FolderList(this);
        m_text = new QLineEdit(this);
        m_text->setReadOnly(true);
        column->addWidget(m_folders, 1);
        column->addWidget(m_text);
        m_folders->setOnOpened([this] {
            m_ok->setEnabled(true);
            showFolderInfo();
        });
    } else {
        column->addStretch();
    }
    // The popup copies the current source drive, storage folder or temporary folder.
    m_popup->setObjectName(QStringLiteral("mnuPopup"));
    // The source drive: the drive dialog takes the drive, a folder dialog
    // opens that drive's current folder, as choosing it in the list does.
    m_popup->addAction(catalogueText(9005), this, [this] {
        if (!sourceDrive)
            return;
        if (m_withFolder)
            copyDriveFolder(sourceDrive());
        else
            copyDrive(sourceDrive());
    });
    m_popup->addAction(catalogueText(9006), this, [this] {
        if (!storageFolder)
            return;
        if (m_withFolder)
            copyFolder(storageFolder());
        else
            copyDrive(storageFolder());
    });
    m_popup->addAction(catalogueText(9007), this, [this] {
        const QString temp = QString::fromStdString(basVelt::GetTempFolder());
        if (m_withFolder)
            copyFolder(temp);
        else
            copyDrive(temp);
    });
    std::vector<QWidget*> targets{this};
    if (m_folders) {
        targets.push_back(m_folders);
        targets.push_back(m_text);
    }
    for (QWidget* widget : targets) {
        widget->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(widget, &QWidget::customContextMenuRequested, this,
            [this, widget](const QPoint& at) { m_popup->popup(widget->mapToGlobal(at)); });
    }
    m_drives->setOnEnter([this] {
        if (m_folders)
            m_folders->setFocus();
        else if (m_ok->isEnabled())
            m_ok->setFocus();
        else
            m_cancel->setFocus();
    });
    connect(m_ok, &QPushButton::clicked, this, [this] {
        pblnOk = true;
        accept();
    });
    connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_yuko, &QCheckBox::clicked, this, [this] {
        m_ok->setEnabled(true);
        enableByYuko();
    });
    connect(m_drives, &QComboBox::currentIndexChanged, this, [this] {
        m_ok->setEnabled(true);
        if (!m_withFolder)
            return;
        openDriveFolder(*m_drives, *m_folders);
    });
}

QString FrmDefault::DriveName() const
{
    return m_drives->drive();
}

void FrmDefault::setDriveName(const QString& value)
{
    const char letter = value.isEmpty() ? 0 : value.at(0).toLower().toLatin1();
    if (!letter || !platform::isDriveReady(letter) || !m_drives->selectDrive(value))
        m_drives->selectDrive(QString::fromStdString(platform::currentFolder()));
    m_drives->refresh();
}

QString FrmDefault::DirName() const
{
    return m_folders ? QString::fromStdString(basVelt::LongPathName(m_folders->folder().toStdString())) : QString();
}

void FrmDefault::setDirName(const QString& value)
{
    if (!m_folders)
        return;
    m_drives->blockSignals(true);
    const bool selected = m_drives->selectDrive(value) && m_folders->openFolder(value);
    if (!selected) {
        const QString here = QString::fromStdString(platform::currentFolder());
        m_drives->selectDrive(here);
        m_folders->openFolder(here);
    }
    m_drives->blockSignals(false);
    showFolderInfo();
}

bool FrmDefault::Yuko() const
{
    return m_yuko->isChecked();
}

void FrmDefault::setYuko(bool value)
{
    m_yuko->setChecked(value);
    enableByYuko();
}

void FrmDefault::enableByYuko()
{
    const bool on = m_yuko->isChecked();
    m_label->setEnabled(on);
    m_drives->setEnabled(on);
    if (m_folders) {
        m_folders->setEnabled(on);
        m_text->setEnabled(on);
    }
}

void FrmDefault::showFolderInfo()
{
    if (!m_folders) {
        m_label->setText(pstr_lblDrive_Caption);
        return;
    }
    const std::string spelled = basVelt::LongPathName(m_folders->folder().toStdString());
    m_text->setText(QString::fromStdString(basVelt::ShortenPath(spelled)));
    QString caption = pstr_lblDrive_Caption;
    if (pblnDiskFreeOk)
        caption += QString::fromStdString(basVelt::FreeSpaceText(m_drives->drive().toStdString()));
    m_label->setText(caption);
}

void FrmDefault::copyDrive(const QString& path)
{
    setDriveName(path.left(2));
    m_ok->setEnabled(true);
}

void FrmDefault::copyDriveFolder(const QString& drive)
{
    if (!m_folders)
        return;
    const QString before = DirName();
    m_drives->blockSignals(true);
    const bool selected = m_drives->selectDrive(drive.left(2));
    m_drives->blockSignals(false);
    if (!selected)
        return;
    openDriveFolder(*m_drives, *m_folders);
    showFolderInfo();
    if (DirName() != before)
        m_ok->setEnabled(true);
}

void FrmDefault::copyFolder(const QString& path)
{
    setDirName(path);
    m_ok->setEnabled(true);
}

void FrmDefault::activate()
{
    pblnOk = false;
    auto tip = [this](QWidget* widget, const QString& text) { widget->setToolTip(showTips ? text : QString()); };
    tip(m_ok, seriesText(8047));
    tip(m_cancel, seriesText(8046));
    tip(m_yuko, pstr_cbxDrive_Hint);
    tip(m_drives, pstr_drvDrive_Hint);
    if (m_folders) {
        tip(m_folders, pstr_dlbDir_Hint);
        tip(m_text, pstr_txtDir_Hint);
    }
    if (!pblnYukoMukouOk) {
        m_yuko->setChecked(true);
        m_yuko->hide();
        enableByYuko();
    } else {
        m_yuko->show();
    }
    showFolderInfo();
    m_ok->setEnabled(false);
}

void FrmDefault::showEvent(QShowEvent* event)
{
    activate();
    QDialog::showEvent(event);
}

} // namespace ui
