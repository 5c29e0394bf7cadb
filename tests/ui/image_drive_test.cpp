// The source drive panel takes a disk image as a drive: from its popup, by a
// drop, and again at the next start.
#include <QAbstractItemView>
#include <QApplication>
#include <QDeadlineTimer>
#include <QFileDialog>
#include <QLocale>
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
#include "ui/language.h"
#include "ui/prompts.h"

#include "main_window.h"

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
    panel.setImageChooser([&] { return offered.isEmpty() ? QStringList() : QStringList{offered}; });
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

TEST_F(ImageDrivePanel, TheImageDialogListsEachTypeOnceAndSpeaksJapanese)
{
    ASSERT_TRUE(ui::installJapanese());
    writeFile(m_dir / "DISK2.D88", "not read here");
    writeFile(m_dir / "disk3.d88", "not read here");
    ui::MdiInDir panel;
    panel.setPrompts(&m_prompts);
    QMenu* popup = panel.findChild<QMenu*>(QStringLiteral("mnuPopup"));
    ASSERT_TRUE(popup);
    QStringList filters, names, types, dates, sizes;
    QString shownType;
    uitest::whenModal<QFileDialog>([&](QFileDialog& dialog) {
        filters = dialog.nameFilters();
        // The type box shows its whole text.
        auto* typeBox = dialog.findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
        EXPECT_TRUE(typeBox);
        if (typeBox) {
            shownType = typeBox->currentText();
            EXPECT_LE(typeBox->fontMetrics().horizontalAdvance(shownType) + 30, typeBox->width()) << shownType.toStdString();
        }

        dialog.setDirectory(QString::fromStdString(m_dir.path()));
        auto* view = dialog.findChild<QAbstractItemView*>(QStringLiteral("treeView"));
        // The folder is read by a thread of the dialog's model: wait for its rows.
        const QDeadlineTimer patience(std::chrono::minutes(2));
        while (view && view->model()->rowCount(view->rootIndex()) < 4 && !patience.hasExpired())
            QApplication::processEvents(QEventLoop::AllEvents, 20);
        if (view) {
            const QModelIndex root = view->rootIndex();
            for (int row = 0; row < view->model()->rowCount(root); ++row) {
                names << view->model()->index(row, 0, root).data().toString();
                types << view->model()->index(row, 2, root).data().toString();
                dates << view->model()->index(row, 3, root).data().toString();
                sizes << view->model()->index(row, 1, root).data().toString();
            }
        }
        dialog.reject();
    });
    popup->actions().at(1)->trigger();

    ASSERT_EQ(filters.size(), 2);
    EXPECT_EQ(shownType, QStringLiteral("ディスクイメージ"));
    EXPECT_TRUE(filters[0].endsWith(QLatin1Char(')'))) << filters[0].toStdString();
    const QStringList patterns = filters[0].section(QLatin1Char('('), 1).chopped(1).split(QLatin1Char(' '));
    QStringList folded;
    for (const QString& pattern : patterns)
        folded << pattern.toLower();
    folded.removeDuplicates();
    EXPECT_EQ(folded.size(), patterns.size()) << filters[0].toStdString(); // no extension twice
    EXPECT_TRUE(patterns.contains(QStringLiteral("*.d88")));
    // Both spellings of the extension are offered; the other files are not.
    names.sort();
    EXPECT_EQ(names, (QStringList{QStringLiteral("DISK2.D88"), QStringLiteral("GAME01.HDM"), QStringLiteral("disk"), QStringLiteral("disk3.d88")}))
        << names.join(' ').toStdString();
    EXPECT_TRUE(types.contains(QStringLiteral("ファイル フォルダー"))) << types.join(' ').toStdString();
    EXPECT_TRUE(sizes.contains(QStringLiteral("13 バイト"))) << sizes.join(' ').toStdString();
    EXPECT_TRUE(types.contains(QStringLiteral("D88 ファイル"))) << types.join(' ').toStdString();
    EXPECT_FALSE(types.contains(QStringLiteral("Folder"))) << types.join(' ').toStdString();
    // Dates as a Japanese desktop writes them: year first.
    const QString year = QString::number(QDate::currentDate().year());
    for (const QString& date : dates)
        EXPECT_TRUE(date.startsWith(year + QLatin1Char('/'))) << date.toStdString();
    EXPECT_EQ(QLocale().language(), QLocale::Japanese);
}

} // namespace
