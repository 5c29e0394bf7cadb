// The source drive panel takes a disk image as a drive: from its popup, by a
// drop, and again at the next start.
#include <QApplication>
#include <QComboBox>
#include <QDropEvent>
#include <QMenu>
#include <QMimeData>
#include <QUrl>

#include <gtest/gtest.h>

#include "engine/archiver_library.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "support/archive_support.h"
#include "support/disk_images.h"
#include "support/testsupport.h"
#include "ui/frmsorvane.h"
#include "ui/panels.h"
#include "ui/prompts.h"

namespace {

using namespace testsupport;

struct Messages : ui::Prompts {
    QStringList shown;
    void message(QWidget*, const QString& text) override { shown << text; }
    bool question(QWidget*, const QString&) override { return true; }
    QString saveFile(QWidget*, const QString&, const QString&) override { return {}; }
    bool chooseFont(QWidget*, QFont&) override { return false; }
    void openHelp(QWidget*, const QString&) override {}
    void runModal(QDialog&) override {}
    QString inputText(QWidget*, const QString&, const QString&, const QString&) override { return {}; }
};

class ImageDrivePanel : public ::testing::Test {
protected:
    void SetUp() override
    {
        Floppy floppy;
        floppy.putRoot(0, Floppy::entry("GAME01     ", 0x08, 0, 0));
        floppy.putRoot(1, Floppy::entry("README  TXT", 0x20, 0, 0));
        writeFile(m_dir / "GAME01.HDM", floppy.bytes());
        writeFile(m_dir / "notes.txt", "not a disk");
        makeDirs(m_dir / "disk");
        m_drives.emplace("SORVANE2_DRIVES", "a=" + m_dir.path() + "/disk;d=" + m_dir.path());
        m_config.emplace("SORVANE2_CONFIG_DIR", m_dir.path() + "/config");
        m_state = fileState(m_dir / "GAME01.HDM");
    }
    void TearDown() override
    {
        platform::detachImage();
        EXPECT_EQ(fileState(m_dir / "GAME01.HDM"), m_state) << "the image changed";
    }

    TempDir m_dir;
    ScopedCwd m_cwd;
    std::optional<ScopedEnv> m_drives, m_config;
    std::string m_state;
    Messages m_prompts;
};

TEST_F(ImageDrivePanel, PopupEntryChoosesAnImage)
{
    ui::MdiInDir panel;
    panel.setPrompts(&m_prompts);
    QMenu* popup = panel.findChild<QMenu*>(QStringLiteral("mnuPopup"));
    ASSERT_TRUE(popup);
    ASSERT_EQ(popup->actions().size(), 2);
    QString offered = QString::fromStdString(m_dir / "GAME01.HDM");
    panel.setImageChooser([&] { return offered; });
    popup->actions().at(1)->trigger();
    EXPECT_EQ(panel.drives()->currentText(), QStringLiteral("b: [GAME01]"));
    EXPECT_EQ(panel.DriveName(), QStringLiteral("b:"));
    EXPECT_EQ(panel.GetLabel(), QStringLiteral("GAME01"));

    // A file that is no image: a message, and the selection stays.
    offered = QString::fromStdString(m_dir / "notes.txt");
    popup->actions().at(1)->trigger();
    ASSERT_EQ(m_prompts.shown.size(), 1);
    EXPECT_EQ(panel.DriveName(), QStringLiteral("b:"));
    // Cancelled: nothing happens.
    offered.clear();
    popup->actions().at(1)->trigger();
    EXPECT_EQ(m_prompts.shown.size(), 1);
}

TEST_F(ImageDrivePanel, DroppedImageBecomesTheDrive)
{
    ui::MdiInDir panel;
    panel.setPrompts(&m_prompts);
    panel.show();
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(QString::fromStdString(m_dir / "GAME01.HDM"))});
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&panel, &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&panel, &drop);
    EXPECT_TRUE(drop.isAccepted());
    EXPECT_EQ(panel.drives()->currentText(), QStringLiteral("b: [GAME01]"));
}

TEST_F(ImageDrivePanel, TheImageIsKeptForTheNextStart)
{
    ScopedEnv system("SORVANE2_SYSTEM_DIR", binaryDir());
    settings::ProgramSettings record = settings::defaults();
    engine::LibrarySet libraries = engine::loadLibraries(platform::systemFolder());
    ui::RunProgress progress;
    {
        ui::FrmSorvane window(record, libraries, progress, m_prompts);
        window.show();
        QApplication::processEvents();
        ASSERT_TRUE(window.inDir()->useImage(QString::fromStdString(m_dir / "GAME01.HDM")));
        window.close();
    }
    EXPECT_EQ(platform::settingsRead(settings::kApplication, settings::kSection, "OldImage_In", "?"),
        m_dir / "GAME01.HDM");
    EXPECT_EQ(platform::settingsRead(settings::kApplication, settings::kSection, "OldDir_In", "?"), "b:");
    platform::detachImage();
    ASSERT_TRUE(platform::settingsWrite(settings::kApplication, settings::kSection, "Dir_In_Yuko", "False").ok());
    ui::FrmSorvane again(record, libraries, progress, m_prompts);
    again.show();
    QApplication::processEvents();
    EXPECT_EQ(again.inDir()->drives()->currentText(), QStringLiteral("b: [GAME01]"));
}

} // namespace
