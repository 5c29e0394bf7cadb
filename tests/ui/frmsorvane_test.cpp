// The main window driven like a person would: panels filled in, an execute
// button pressed, with the real archiver modules and scripted message boxes.
#include "ui/frmsorvane.h"

#include <QApplication>

#include <filesystem>

#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QPushButton>
#include <QKeyEvent>

#include <condition_variable>
#include <functional>
#include <mutex>

#include <QLabel>
#include <QRadioButton>
#include <QTimer>

#include <gtest/gtest.h>

#include "engine/history_log.h"
#include "platform/platform.h"
#include "support/archive_support.h"
#include "support/testsupport.h"
#include "ui/folderlist.h"
#include "ui/frmabout.h"
#include "ui/icon.h"
#include "ui/frmdefault.h"
#include "ui/frmmenumente.h"
#include "ui/frmoption.h"
#include "ui/panels.h"
#include "ui/prompts.h"
#include "ui/startup.h"

#include "main_window.h"

namespace {

using namespace testsupport;
using uitest::MainWindow;
namespace fs = std::filesystem;

TEST_F(MainWindow, CaptionsButtonsAndPanels)
{
    EXPECT_EQ(m_window->windowTitle(), QStringLiteral("Sorvane2 for Win32"));
    EXPECT_EQ(m_window->button(0)->text(), QStringLiteral("通常圧縮"));
    EXPECT_EQ(m_window->button(1)->text(), QStringLiteral("非圧縮圧縮"));
    EXPECT_EQ(m_window->button(2)->text(), QStringLiteral("２重圧縮"));
    EXPECT_EQ(m_window->button(0)->toolTip(), ui::catalogueText(6));
    m_window->SetToolTip(false);
    EXPECT_TRUE(m_window->button(0)->toolTip().isEmpty());
    EXPECT_EQ(m_window->mdiArea()->subWindowList().size(), 5);
    EXPECT_EQ(m_window->inDir()->DriveName(), QStringLiteral("a:"));
    EXPECT_EQ(m_window->file()->labelText()->text(), QStringLiteral("DISK07"));
}

TEST_F(MainWindow, APressOfNormalPacksTheDiskAndCountsUp)
{
    typeName(QStringLiteral("DISK09"));
    m_window->button(0)->click();
    EXPECT_EQ(m_window->status()->lines(),
        (QStringList{QStringLiteral("[ a:\\ ]"), ui::catalogueText(20010), ui::catalogueText(20003), ui::seriesText(31)}));
    EXPECT_EQ(m_window->outFile()->paths(), (QStringList{QStringLiteral("D:\\DISK09.LZH")}));
    EXPECT_EQ(m_window->file()->fileText()->text(), QStringLiteral("DISK10"));
    EXPECT_TRUE(m_window->button(0)->isEnabled());
    EXPECT_TRUE(m_window->inDir()->isEnabled());
    EXPECT_FALSE(m_window->running());
    EXPECT_EQ(shell("lhasa t " + quote(m_dir / "out/DISK09.LZH")).exitCode, 0);
    EXPECT_TRUE(m_prompts.messages.isEmpty());
}

TEST_F(MainWindow, LabelModeNamesTheArchiveAfterTheDisk)
{
    m_window->button(1)->click();
    EXPECT_EQ(m_window->status()->lines().value(1), ui::catalogueText(20012));
    EXPECT_TRUE(exists(m_dir / "out/DISK07.LZH"));
    // The same archive again is not listed twice.
    m_window->button(1)->click();
    EXPECT_EQ(m_window->outFile()->paths().size(), 1);
}

TEST_F(MainWindow, AnEmptyDriveOnlyShowsItsMessage)
{
    const int b = m_window->inDir()->drives()->findText(QStringLiteral("b:"), Qt::MatchStartsWith);
    ASSERT_GE(b, 0);
    m_window->inDir()->drives()->setCurrentIndex(b);
    typeName(QStringLiteral("DISK01"));
    m_window->button(0)->click();
    EXPECT_EQ(m_prompts.messages, QStringList{ui::catalogueText(301)});
    EXPECT_TRUE(m_window->status()->lines().isEmpty());
    EXPECT_EQ(m_window->file()->fileText()->text(), QStringLiteral("DISK01"));
    EXPECT_TRUE(m_window->button(0)->isEnabled());
}

TEST_F(MainWindow, ARefusedRunDoesNotCount)
{
    m_window->outDir()->setDirName(QStringLiteral("A:\\SUB"));
    typeName(QStringLiteral("DISK01"));
    m_window->button(0)->click();
    EXPECT_EQ(m_prompts.messages, QStringList{ui::catalogueText(20200)});
    EXPECT_EQ(m_window->status()->lines(), (QStringList{ui::catalogueText(20005), ui::seriesText(30)}));
    EXPECT_EQ(m_window->file()->fileText()->text(), QStringLiteral("DISK01"));
}

TEST_F(MainWindow, TheHistoryIsSavedInShiftJisWithCrLf)
{
    typeName(QStringLiteral("DISK01"));
    m_window->button(0)->click();
    m_prompts.savePath = QString::fromStdString(m_dir / "RUN.LOG");
    m_window->status()->LogSave();
    std::vector<std::string> lines;
    for (const QString& line : m_window->status()->lines())
        lines.push_back(line.toStdString());
    EXPECT_EQ(readFile(m_dir / "RUN.LOG"), engine::encodeLog(lines));
    EXPECT_NE(readFile(m_dir / "RUN.LOG").find("\x81\x40"), std::string::npos); // the ideographic space
    // Overwriting asks first; No keeps the file.
    writeFile(m_dir / "RUN.LOG", "keep");
    m_prompts.answer = false;
    m_window->status()->LogSave();
    EXPECT_EQ(readFile(m_dir / "RUN.LOG"), "keep");
    EXPECT_EQ(m_prompts.messages.last(), ui::seriesText(5100));
    m_window->status()->LogCopy();
    EXPECT_TRUE(QApplication::clipboard()->text().startsWith(QStringLiteral("[ a:\\ ]\r\n")));
}

TEST_F(MainWindow, PanelsFollowTheGridWhenResizeIsOn)
{
    m_window->resize(900, 700);
    QApplication::processEvents();
    const auto windows = m_window->mdiArea()->subWindowList();
    const int w2 = m_window->mdiArea()->viewport()->width() / 2;
    EXPECT_EQ(windows[2]->geometry().left(), w2);
    EXPECT_EQ(windows[1]->geometry().height(), 2 * windows[0]->geometry().height());
}

TEST_F(MainWindow, ALargerFontGrowsTheButtonsAndNoPanelCollapses)
{
    // The designed sizes at the designed font.
    const QSize designed(1335 / 15, 375 / 15);
    EXPECT_EQ(m_window->button(1)->size(), designed);
    EXPECT_LE(m_window->minimumSizeHint().width(), 8000 / 15);
    EXPECT_LE(m_window->minimumSizeHint().height(), 8000 / 15);

    for (const int points : {10, 14, 20}) {
        SCOPED_TRACE(points);
        m_settings.Font_Size = points;
        m_window->SetFontData();
        QApplication::processEvents();
        for (int i = 0; i < 3; ++i) {
            QPushButton* button = m_window->button(i);
            EXPECT_GE(button->width(), button->sizeHint().width()) << button->text().toStdString(); // not clipped
            EXPECT_GE(button->height(), button->sizeHint().height());
            EXPECT_GE(button->width(), designed.width());
        }
        // Squeezed to 300 x 300: every control keeps its height, every list two lines.
        m_window->resize(300, 300);
        QApplication::processEvents();
        for (QMdiSubWindow* panel : m_window->mdiArea()->subWindowList()) {
            const std::string name = panel->widget()->objectName().toStdString();
            for (QWidget* control : panel->widget()->findChildren<QWidget*>()) {
                if (!control->isVisibleTo(panel))
                    continue;
                if (auto* list = qobject_cast<QListWidget*>(control)) {
                    EXPECT_GE(list->viewport()->height(), 2 * list->fontMetrics().lineSpacing()) << name;
                } else if (qobject_cast<QComboBox*>(control) || qobject_cast<QLineEdit*>(control)
                    || qobject_cast<QAbstractButton*>(control)) {
                    EXPECT_GE(control->height(), control->minimumSizeHint().height()) << name << " "
                        << control->objectName().toStdString();
                }
            }
        }
    }
}

TEST_F(MainWindow, ClosingWritesTheDrivesFoldersAndGeometry)
{
    m_window->inDir()->setDriveName(QStringLiteral("a:"));
    m_window->outDir()->setDirName(QStringLiteral("D:\\"));
    m_window->close();
    auto key = [](const char* name) {
        return platform::settingsRead(settings::kApplication, settings::kSection, name, "<none>");
    };
    EXPECT_EQ(key("OldDir_In"), "a:");
    EXPECT_EQ(key("OldDir_Out"), "D:\\");
    EXPECT_EQ(key("Dir_In_Yuko"), "True");
    EXPECT_EQ(key("Main_WindowState"), "0");
    EXPECT_NE(key("Main_Width"), "<none>");

    // With the default not in force, the next start takes the drive and folder of the last exit.
    ASSERT_TRUE(platform::settingsWrite(settings::kApplication, settings::kSection, "Dir_In_Yuko", "False").ok());
    ASSERT_TRUE(platform::settingsWrite(settings::kApplication, settings::kSection, "Dir_Out_Yuko", "0").ok());
    ASSERT_TRUE(platform::settingsWrite(settings::kApplication, settings::kSection, "Main_Width", "1999").ok());
    ui::FrmSorvane again(m_settings, m_libraries, m_progress, m_prompts);
    EXPECT_EQ(again.inDir()->DriveName(), QStringLiteral("a:"));
    EXPECT_EQ(again.outDir()->DirName(), QStringLiteral("D:\\"));
    const double pixels = 8000.0 * again.logicalDpiX() / 1440.0; // a width below 2000 twips starts at 8000
    EXPECT_NEAR(again.geometry().width(), pixels, 2.0);
}

TEST_F(MainWindow, ADriveWithoutMediumAtStartFallsBackToTheCurrentDrive)
{
    ASSERT_TRUE(platform::settingsWrite(settings::kApplication, settings::kSection, "Dir_In", "b:").ok());
    ui::FrmSorvane again(m_settings, m_libraries, m_progress, m_prompts);
    EXPECT_EQ(again.inDir()->DriveName(), QStringLiteral("d:"));
}

TEST_F(MainWindow, TheFolderListOpensParentsAndSubfolders)
{
    makeDirs(m_dir / "out/ARC/2026");
    makeDirs(m_dir / "out/OLD");
    ui::MdiOutDir* panel = m_window->outDir();
    panel->setDirName(QStringLiteral("d:\\arc"));
    EXPECT_EQ(panel->DirName(), QStringLiteral("D:\\ARC"));
    ui::FolderList* list = panel->folders();
    // D:\ above ARC, its subfolder 2026 below.
    ASSERT_EQ(list->count(), 3);
    EXPECT_EQ(list->currentRow(), 1);
    EXPECT_TRUE(list->item(2)->text().trimmed() == QStringLiteral("2026"));
    // Enter on the subfolder opens it; Backspace goes back up.
    list->setCurrentRow(2);
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(list, &enter);
    EXPECT_EQ(panel->DirName(), QStringLiteral("D:\\ARC\\2026"));
    QKeyEvent back(QEvent::KeyPress, Qt::Key_Backspace, Qt::NoModifier);
    QApplication::sendEvent(list, &back);
    EXPECT_EQ(panel->DirName(), QStringLiteral("D:\\ARC"));
    EXPECT_TRUE(panel->windowTitle().startsWith(ui::catalogueText(4000) + QStringLiteral(" (")));
    EXPECT_TRUE(panel->windowTitle().endsWith(QStringLiteral("M Free)")));
    // A drive without a medium snaps back.
    const int b = panel->drives()->findText(QStringLiteral("b:"), Qt::MatchStartsWith);
    panel->drives()->setCurrentIndex(b);
    EXPECT_EQ(panel->drives()->drive(), QStringLiteral("d:"));
    EXPECT_EQ(panel->DirName(), QStringLiteral("D:\\ARC"));
    // A folder that does not exist ends in the current folder.
    panel->setDirName(QStringLiteral("D:\\NOWHERE"));
    EXPECT_EQ(panel->DirName(), QString::fromStdString(platform::currentFolder()));
}

TEST_F(MainWindow, TheArchiveListKeepsDistinctPathsAndChecksTheDisk)
{
    ui::MdiOutFile* list = m_window->outFile();
    writeFile(m_dir / "out/KEEP.LZH", "k");
    list->ListInAdd(QStringLiteral("d:\\keep.lzh"));
    list->ListInAdd(QStringLiteral("D:\\GONE.LZH"));
    list->ListInAdd(QStringLiteral("D:\\GONE.LZH"));
    list->ListInAdd(QStringLiteral("D:\\gone.lzh")); // another case is another entry
    EXPECT_EQ(list->paths().size(), 3);
    list->Refresh();
    EXPECT_EQ(list->paths(), QStringList{QStringLiteral("D:\\KEEP.LZH")});
    list->SelectAll();
    EXPECT_EQ(list->list()->selectedItems().size(), 1);
    list->SelectClear();
    EXPECT_TRUE(list->list()->selectedItems().isEmpty());
    for (int i = 0; i < 1005; ++i)
        list->ListInAdd(QStringLiteral("D:\\F%1.LZH").arg(i));
    EXPECT_EQ(list->paths().size(), 1000);
    EXPECT_EQ(list->paths().first(), QStringLiteral("D:\\KEEP.LZH")); // the newest were dropped
    // The popup in its order.
    auto* menu = list->findChild<QMenu*>(QStringLiteral("mnuPopup"));
    ASSERT_TRUE(menu);
    QStringList captions;
    for (QAction* action : menu->actions())
        captions << action->text();
    EXPECT_EQ(captions, (QStringList{ui::seriesText(2008), QStringLiteral("リフレッシュ"), ui::seriesText(2006),
                            ui::seriesText(2007)}));
    menu->actions().first()->trigger();
    EXPECT_TRUE(list->paths().isEmpty());
}

TEST_F(MainWindow, FontsTooltipsAndHelp)
{
    QFont chosen(QStringLiteral("IPAGothic"), 14);
    chosen.setBold(true);
    m_prompts.font = chosen;
    m_window->mnuFont_Click();
    EXPECT_EQ(m_settings.Font_Size, 14);
    EXPECT_TRUE(m_settings.Font_Bold);
    EXPECT_EQ(m_window->button(0)->font().pointSize(), 14);
    EXPECT_EQ(m_window->status()->font().pointSize(), 14);
    m_prompts.font.reset(); // cancelled: nothing changes
    m_window->mnuFont_Click();
    EXPECT_EQ(m_settings.Font_Size, 14);

    m_window->SetToolTip(false);
    EXPECT_TRUE(m_window->status()->list()->toolTip().isEmpty());
    m_window->SetToolTip(true);
    EXPECT_EQ(m_window->status()->list()->toolTip(), ui::catalogueText(5001));

    m_window->mnuHelp_Click();
    EXPECT_TRUE(m_prompts.helpPath.endsWith(QStringLiteral("Sorvane2.html")));
}

TEST_F(MainWindow, PanelPlacesAreKeptOnlyWhenThePanelsDoNotFollow)
{
    m_settings.Resize = false;
    ui::FrmSorvane window(m_settings, m_libraries, m_progress, m_prompts);
    window.show();
    QApplication::processEvents();
    window.mdiArea()->subWindowList()[3]->setGeometry(40, 50, 300, 200);
    window.close();
    const auto width = settings::parsePosition(
        platform::settingsRead(settings::kApplication, settings::kSection, "Status_Width", "0"));
    ASSERT_TRUE(width.has_value());
    EXPECT_NEAR(*width, 300.0 * 1440.0 / window.logicalDpiX(), 20.0);
    ui::FrmSorvane again(m_settings, m_libraries, m_progress, m_prompts);
    EXPECT_EQ(again.mdiArea()->subWindowList()[3]->geometry().width(), 300);
}

// A store of an earlier version usually lacks the panels' _Left keys (they were
// written only with Resize off); its folders and aliases still come over.
TEST_F(MainWindow, TheLegacyStorageFolderAndAliasesSurviveTheMove)
{
    const char* legacy = settings::kLegacyApplication;
    ASSERT_TRUE(platform::settingsWrite(legacy, settings::kSection, "Version", "1.00").ok());
    ASSERT_TRUE(platform::settingsWrite(legacy, settings::kSection, "Dir_Out", "C:\\").ok());
    ASSERT_TRUE(platform::settingsWrite(legacy, settings::kSection, "Dir_Out_DirName0", "作業").ok());
    ASSERT_TRUE(platform::settingsWrite(legacy, settings::kSection, "Dir_Out_DirDir0", "D:\\").ok());
    m_window->close();
    m_window.reset();
    {
        ui::FrmSorvane window(m_settings, m_libraries, m_progress, m_prompts);
        window.show();
        QApplication::processEvents();
        window.close();
    }
    settings::SaveSettings(m_settings); // the end of the run removes the legacy entry
    auto current = [](const char* key) {
        return platform::settingsRead(settings::kApplication, settings::kSection, key, "<none>");
    };
    EXPECT_EQ(current("Dir_Out"), "C:\\");
    EXPECT_EQ(current("Dir_Out_DirName0"), "作業");
    EXPECT_EQ(current("Dir_Out_DirDir0"), "D:\\");
    EXPECT_EQ(platform::settingsRead(legacy, settings::kSection, "Version", "gone"), "gone");
}

TEST_F(MainWindow, MkdirOpensTheNewFolderInTheStoragePanel)
{
    m_window->outDir()->setDirName(QStringLiteral("D:\\"));
    m_prompts.input = QStringLiteral("2026年");
    m_window->mnuMkdir_Click();
    EXPECT_EQ(m_window->outDir()->DirName(), QStringLiteral("D:\\2026年"));
    EXPECT_TRUE(exists(m_dir / "out/2026年"));
    m_window->outDir()->setDirName(QStringLiteral("D:\\"));
    m_prompts.input = QStringLiteral("2026年"); // exists now: refused with its message
    m_window->mnuMkdir_Click();
    EXPECT_TRUE(m_prompts.messages.last().startsWith(ui::seriesText(104) + QStringLiteral("\nD:\\2026年: ")))
        << m_prompts.messages.last().toStdString();
}

TEST_F(MainWindow, TheAboutBoxListsTheLibrariesFound)
{
    ui::FrmAbout about(m_libraries.availability);
    EXPECT_EQ(about.windowTitle(), QStringLiteral("About"));
    EXPECT_EQ(about.programLine(0)->text(), QStringLiteral("UNLHA32.DLL"));
    EXPECT_EQ(about.versionLine(0)->text(), QStringLiteral("1.10"));
    EXPECT_EQ(about.programLine(1)->text(), QStringLiteral("UNZIP32.DLL"));
    EXPECT_EQ(about.programLine(2)->text(), QStringLiteral("ZIP32J.DLL"));
}

TEST_F(MainWindow, TheAboutBoxAndTheWindowShowTheInstalledIcon)
{
    // The About box's 32-pixel picture is the one the desktop gets installed.
    ui::FrmAbout about(m_libraries.availability);
    auto* image = about.findChild<QLabel*>(QStringLiteral("imgAbout"));
    ASSERT_NE(image, nullptr);
    // Compared premultiplied, as the pixmap keeps it: edge pixels round otherwise.
    const QImage shown = image->pixmap().toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
    EXPECT_EQ(shown.size(), QSize(32, 32));
    const QImage installed = QImage(QStringLiteral(SORVANE2_ICON_DIR "/32.png")).convertToFormat(QImage::Format_ARGB32_Premultiplied);
    ASSERT_FALSE(installed.isNull());
    int differing = 0;
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x)
            differing += shown.pixel(x, y) != installed.pixel(x, y);
    EXPECT_EQ(differing, 0);
    // The window icon holds every rendered size, so no size is scaled from another.
    const QList<QSize> sizes = ui::programIcon().availableSizes();
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256})
        EXPECT_TRUE(sizes.contains(QSize(size, size))) << size;
    EXPECT_NE(shown.pixelColor(16, 16).alpha(), 0);
}

TEST_F(MainWindow, DefaultDialogsTakeTheirValueOnlyOnConfirm)
{
    // InDirDefault: untick the box and choose another drive, then cancel: nothing changes.
    const std::string before = m_window->defaultDrive();
    m_prompts.modal = [](QDialog& dialog) {
        auto& d = static_cast<ui::FrmDefault&>(dialog);
        EXPECT_FALSE(d.okButton()->isEnabled()); // right after showing
        d.yukoBox()->click();
        EXPECT_FALSE(d.drives()->isEnabled());
        EXPECT_TRUE(d.okButton()->isEnabled());
        d.cancelButton()->click();
    };
    m_window->mnuInDirDefault_Click();
    EXPECT_EQ(m_window->defaultDrive(), before);
    EXPECT_TRUE(m_window->defaultDriveInForce());
    // The same, confirmed: the default is no longer in force, the shown drive kept.
    m_prompts.modal = [](QDialog& dialog) {
        auto& d = static_cast<ui::FrmDefault&>(dialog);
        d.copyDrive(QStringLiteral("a:\\"));
        d.yukoBox()->click();
        d.okButton()->click();
    };
    m_window->mnuInDirDefault_Click();
    EXPECT_EQ(m_window->defaultDrive(), "a:");
    EXPECT_FALSE(m_window->defaultDriveInForce());

    // OutDirDefault: the label carries the free space of the chosen drive.
    makeDirs(m_dir / "out/ARC");
    m_prompts.modal = [](QDialog& dialog) {
        auto& d = static_cast<ui::FrmDefault&>(dialog);
        EXPECT_TRUE(d.label()->text().startsWith(ui::catalogueText(10001) + QStringLiteral(" (")));
        d.copyFolder(QStringLiteral("D:\\ARC"));
        d.okButton()->click();
    };
    m_window->mnuOutDirDefault_Click();
    EXPECT_EQ(m_window->defaultFolder(), "D:\\ARC");

    // TmpDirDefault: no box; a drive without a disk snaps back to the folder's drive.
    m_prompts.modal = [](QDialog& dialog) {
        auto& d = static_cast<ui::FrmDefault&>(dialog);
        EXPECT_FALSE(d.yukoBox()->isVisible());
        EXPECT_TRUE(d.drives()->isEnabled());
        const int b = d.drives()->findText(QStringLiteral("b:"), Qt::MatchStartsWith);
        d.drives()->setCurrentIndex(b);
        EXPECT_EQ(d.drives()->drive(), QStringLiteral("c:"));
        d.copyFolder(QStringLiteral("D:\\ARC"));
        d.okButton()->click();
    };
    m_window->mnuTmpDirDefault_Click();
    EXPECT_EQ(m_settings.TmpDir, "D:\\ARC");
}

TEST_F(MainWindow, FolderAliasesAreAddedChosenMaintainedAndKept)
{
    makeDirs(m_dir / "out/ARC");
    makeDirs(m_dir / "out/OLD");
    ui::MdiOutDir* panel = m_window->outDir();
    auto visibleAliases = [&] {
        QStringList names;
        for (QAction* action : panel->popup()->actions())
            if (action->isVisible() && !action->isSeparator() && action->text() != ui::seriesText(1005)
                && action->text() != ui::seriesText(1006) && action->text() != ui::seriesText(1007))
                names << action->text();
        return names;
    };
    panel->setDirName(QStringLiteral("D:\\ARC"));
    m_prompts.input = QStringLiteral("アーカイブ");
    panel->mnuAdd_Click();
    panel->setDirName(QStringLiteral("D:\\OLD"));
    m_prompts.input = QStringLiteral("アーカイブ"); // the same name again: refused
    panel->mnuAdd_Click();
    EXPECT_EQ(m_prompts.messages.last(), ui::seriesText(1102));
    m_prompts.input = QStringLiteral("古い");
    panel->mnuAdd_Click();
    EXPECT_EQ(visibleAliases(), (QStringList{QStringLiteral("アーカイブ"), QStringLiteral("古い")}));
    panel->mnuAddDir_Click(0);
    EXPECT_EQ(panel->DirName(), QStringLiteral("D:\\ARC"));

    // Maintenance: move the second up, then cancel: nothing changes.
    m_prompts.modal = [](QDialog& dialog) {
        auto& d = static_cast<ui::FrmMenuMente&>(dialog);
        EXPECT_EQ(d.windowTitle(), ui::catalogueText(4000) + ui::seriesText(11000));
        d.list()->setCurrentRow(1);
        d.button("btnUp")->click();
        d.button("btnCancel")->click();
    };
    panel->mnuMente_Click();
    EXPECT_EQ(visibleAliases().first(), QStringLiteral("アーカイブ"));
    // The same, confirmed.
    m_prompts.modal = [](QDialog& dialog) {
        auto& d = static_cast<ui::FrmMenuMente&>(dialog);
        d.list()->setCurrentRow(1);
        d.button("btnUp")->click();
        EXPECT_EQ(d.list()->currentRow(), 0);
        d.button("btnOk")->click();
    };
    panel->mnuMente_Click();
    EXPECT_EQ(visibleAliases(), (QStringList{QStringLiteral("古い"), QStringLiteral("アーカイブ")}));

    // Kept across a restart; an alias whose folder was deleted opens the current folder.
    m_window->close();
    ui::FrmSorvane again(m_settings, m_libraries, m_progress, m_prompts);
    EXPECT_EQ(again.outDir()->aliases().count(), 2);
    fs::remove(m_dir / "out/OLD");
    again.outDir()->mnuAddDir_Click(0);
    EXPECT_EQ(again.outDir()->DirName(), QString::fromStdString(platform::currentFolder()));
    EXPECT_EQ(again.outDir()->aliases().count(), 2);

    // Delete all, then OK: no aliases, the add entry enabled, maintenance disabled.
    m_prompts.modal = [](QDialog& dialog) {
        auto& d = static_cast<ui::FrmMenuMente&>(dialog);
        d.button("btnDelAll")->click();
        EXPECT_FALSE(d.button("btnDel")->isEnabled());
        EXPECT_TRUE(d.folderText()->text().isEmpty());
        d.button("btnOk")->click();
    };
    again.outDir()->mnuMente_Click();
    EXPECT_EQ(again.outDir()->aliases().count(), 0);
}

TEST_F(MainWindow, DefaultDialogPopupsCopyTheCurrentValues)
{
    makeDirs(m_dir / "out/ARC");
    m_window->outDir()->setDirName(QStringLiteral("D:\\ARC"));
    m_prompts.modal = [](QDialog& dialog) {
        auto& d = static_cast<ui::FrmDefault&>(dialog);
        const auto actions = d.popup()->actions();
        ASSERT_EQ(actions.size(), 3);
        EXPECT_EQ(actions[0]->text(), ui::catalogueText(9005));
        actions[1]->trigger(); // the storage folder
        EXPECT_EQ(d.DirName(), QStringLiteral("D:\\ARC"));
        EXPECT_TRUE(d.okButton()->isEnabled());
        d.okButton()->click();
    };
    m_window->mnuOutDirDefault_Click();
    EXPECT_EQ(m_window->defaultFolder(), "D:\\ARC");
    m_prompts.modal = [](QDialog& dialog) {
        auto& d = static_cast<ui::FrmDefault&>(dialog);
        d.popup()->actions()[0]->trigger(); // the source drive
        EXPECT_EQ(d.DriveName(), QStringLiteral("a:"));
        d.okButton()->click();
    };
    m_window->mnuInDirDefault_Click();
    EXPECT_EQ(m_window->defaultDrive(), "a:");
}

TEST_F(MainWindow, DialogPositionsAreKept)
{
    m_window->options()->move(120, 80);
    m_window->close();
    const auto left = settings::parsePosition(
        platform::settingsRead(settings::kApplication, settings::kSection, "Option_Left", ""));
    ASSERT_TRUE(left.has_value());
    EXPECT_NEAR(*left, 120.0 * 1440.0 / m_window->logicalDpiX(), 20.0);
    EXPECT_NE(platform::settingsRead(settings::kApplication, settings::kSection, "Default_Width", ""), "");
    EXPECT_NE(platform::settingsRead(settings::kApplication, settings::kSection, "MenuMente_Top", ""), "");
    EXPECT_NE(platform::settingsRead(settings::kApplication, settings::kSection, "About_Left", ""), "");
    ASSERT_TRUE(platform::settingsWrite(settings::kApplication, settings::kSection, "Option_Left", "-5").ok());
    ui::FrmSorvane again(m_settings, m_libraries, m_progress, m_prompts);
    EXPECT_NEAR(again.options()->x(), 1000.0 * again.logicalDpiX() / 1440.0, 2.0); // off screen: back to 1000
}

TEST_F(MainWindow, StartUpSwitchAndLibraryChecks)
{
    ASSERT_TRUE(platform::settingsWrite(settings::kApplication, settings::kSection, "Tip", "False").ok());
    settings::ProgramSettings record;
    engine::LibrarySet libraries;
    ui::RunProgress progress;
    auto start = [&](const QStringList& arguments) {
        return ui::startUp(arguments, m_prompts, record, libraries, progress);
    };
    m_prompts.answer = false;
    EXPECT_EQ(start({QStringLiteral("/u")}), ui::Start::End);
    EXPECT_EQ(m_prompts.messages.last(), QStringLiteral("Sorvane2で使用したレジストリを全て削除します"));
    EXPECT_EQ(platform::settingsRead(settings::kApplication, settings::kSection, "Tip", ""), "False");
    m_prompts.answer = true;
    EXPECT_EQ(start({QStringLiteral("/U")}), ui::Start::End);
    EXPECT_EQ(platform::settingsRead(settings::kApplication, settings::kSection, "Tip", "gone"), "gone");
    EXPECT_EQ(start({QStringLiteral("/U"), QStringLiteral("more")}), ui::Start::Run); // not the switch
    EXPECT_TRUE(libraries.availability.lzh);

    m_prompts.messages.clear();
    m_system.emplace("SORVANE2_SYSTEM_DIR", m_dir.path() + "/tmp"); // no modules there
    EXPECT_EQ(start({}), ui::Start::Failed);
    EXPECT_EQ(m_prompts.messages, QStringList{ui::catalogueText(205)});
    m_prompts.messages.clear();
    m_system.emplace("SORVANE2_SYSTEM_DIR", binaryDir() + "/old");
    EXPECT_EQ(start({}), ui::Start::Run);
    EXPECT_EQ(m_prompts.messages, QStringList{ui::catalogueText(206)});
}

TEST_F(MainWindow, ACancelledRunUnlocksEverything)
{
    writeFile(m_dir / "disk/LARGE.BIN", std::string(24u << 20, 'q'));
    typeName(QStringLiteral("DISK01"));
    QTimer::singleShot(0, m_window.get(), [this] { m_window->requestCancel(); });
    m_window->button(0)->click();
    const QStringList lines = m_window->status()->lines();
    ASSERT_GE(lines.size(), 3);
    EXPECT_EQ(lines[lines.size() - 3], ui::catalogueText(20042));
    EXPECT_EQ(lines.last(), ui::seriesText(30));
    EXPECT_FALSE(exists(m_dir / "out/DISK01.LZH"));
    EXPECT_TRUE(m_window->button(0)->isEnabled());
    EXPECT_TRUE(m_window->outDir()->isEnabled());
    EXPECT_EQ(m_window->file()->fileText()->text(), QStringLiteral("DISK01"));
}

// A module whose call stops twice: first before it has counted anything,
// then with its figures, each time until the test lets it go on.
class HeldLibrary final : public engine::ArchiverLibrary {
public:
    explicit HeldLibrary(ui::RunProgress& progress) : m_progress(progress) {}
    int command(const std::string&) override
    {
        ui::RunProgress::handler(&m_progress, 0, 0, "GAME\\");
        waitFor(1);
        ui::RunProgress::handler(&m_progress, 3000000, 12000000, "GAME\\DATA.BIN");
        waitFor(2);
        return 0x8020; // as a cancelled call: nothing is listed as made
    }
    bool running() override { return false; }
    std::int16_t version() override { return 200; }
    void letGo(int stage)
    {
        std::lock_guard guard(m_lock);
        m_stage = stage;
        m_changed.notify_all();
    }

private:
    void waitFor(int stage)
    {
        std::unique_lock guard(m_lock);
        m_changed.wait(guard, [&] { return m_stage >= stage; });
    }
    ui::RunProgress& m_progress;
    std::mutex m_lock;
    std::condition_variable m_changed;
    int m_stage = 0;
};

TEST_F(MainWindow, TheProgressWindowShowsRealFiguresAwayFromTheHistory)
{
    auto held = std::make_shared<HeldLibrary>(m_progress);
    engine::LibrarySet libraries = m_libraries;
    libraries.lzh = held;
    ui::FrmSorvane window(m_settings, libraries, m_progress, m_prompts);
    window.resize(900, 700);
    window.show();
    QApplication::processEvents();
    window.inDir()->setDriveName(QStringLiteral("a:"));
    window.outDir()->setDirName(QStringLiteral("D:\\"));
    window.file()->fileOption()->setChecked(true);
    window.file()->fileText()->setText(QStringLiteral("DISK01"));

    QStringList seen;
    QRect place, history;
    int stage = 0;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        QDialog* progress = nullptr;
        for (QWidget* top : QApplication::topLevelWidgets())
            if (top->objectName() == QStringLiteral("progress") && top->isVisible())
                progress = qobject_cast<QDialog*>(top);
        if (!progress)
            return;
        const QString text = progress->findChild<QLabel*>()->text();
        if (!seen.contains(text))
            seen << text;
        if (stage == 0) {
            stage = 1;
            held->letGo(1);
        } else if (stage == 1 && text.contains(QStringLiteral("MB"))) {
            stage = 2;
            place = progress->frameGeometry();
            QWidget* panel = window.status();
            history = QRect(panel->mapToGlobal(QPoint(0, 0)), panel->size());
            held->letGo(2);
        }
    });
    watch.start(20);
    window.button(0)->click();
    watch.stop();

    ASSERT_EQ(stage, 2) << seen.join('|').toStdString();
    for (const QString& text : seen)
        EXPECT_FALSE(text.contains(QStringLiteral("0.0 / 0.0"))) << text.toStdString();
    EXPECT_TRUE(seen.contains(QStringLiteral("3.0 / 12.0 MB\nGAME\\DATA.BIN"))) << seen.join('|').toStdString();
    EXPECT_FALSE(place.intersects(history)) << place.x() << "," << place.y() << " over " << history.x() << ","
                                            << history.y();
    EXPECT_FALSE(place.contains(window.frameGeometry().center())) << "it would hide the run's messages";
}

TEST(ProgressPlace, ACornerClearOfTheHistoryThatShowsWhole)
{
    const QRect screen(0, 0, 1280, 800);
    const QRect frame(100, 100, 800, 600);
    const QSize size(360, 120);
    // History at the bottom right: the top right corner is free.
    QPoint at = ui::progressPlace(frame, QRect(500, 400, 390, 290), size, screen);
    EXPECT_FALSE(QRect(at, size).intersects(QRect(500, 400, 390, 290)));
    EXPECT_TRUE(screen.contains(QRect(at, size)));
    // History over the whole frame: beside the frame, still on the screen.
    at = ui::progressPlace(frame, frame, size, screen);
    EXPECT_FALSE(QRect(at, size).intersects(frame));
    EXPECT_TRUE(screen.contains(QRect(at, size)));
    // A frame filling the screen with the history everywhere: at least on the screen.
    at = ui::progressPlace(screen, screen, size, screen);
    EXPECT_TRUE(screen.contains(QRect(at, size)));
}

TEST_F(MainWindow, TheHistoryKeepsItsLastLines)
{
    for (int i = 0; i < 30010; ++i)
        m_window->status()->ListInAdd(QString::number(i));
    EXPECT_EQ(m_window->status()->list()->count(), 30002);
    EXPECT_EQ(m_window->status()->list()->currentRow(), 30001);
    EXPECT_EQ(m_window->status()->lines().last(), QStringLiteral("30009"));
}

TEST_F(MainWindow, OddStoredGeometryComesBackOnScreen)
{
    ASSERT_TRUE(platform::settingsWrite(settings::kApplication, settings::kSection, "Main_Left", "-1").ok());
    ASSERT_TRUE(platform::settingsWrite(settings::kApplication, settings::kSection, "Main_Height", "499").ok());
    ASSERT_TRUE(platform::settingsWrite(settings::kApplication, settings::kSection, "Main_WindowState", "2").ok());
    ui::FrmSorvane again(m_settings, m_libraries, m_progress, m_prompts);
    const double perTwip = again.logicalDpiX() / 1440.0;
    EXPECT_NEAR(again.geometry().left(), 1000 * perTwip, 2.0);
    EXPECT_TRUE(again.windowState() & Qt::WindowMaximized);
}

TEST_F(MainWindow, AStoredPositionThatIsNotANumberFailsTheLoad)
{
    EXPECT_TRUE(m_window->loadError().isEmpty());
    ASSERT_TRUE(platform::settingsWrite(settings::kApplication, settings::kSection, "Main_Width", "wide").ok());
    ui::FrmSorvane broken(m_settings, m_libraries, m_progress, m_prompts);
    EXPECT_EQ(broken.loadError(), QStringLiteral("Sorvane2 frmSorvane MDIForm_Load ERR"));
}

TEST(OptionsDialog, ChoicesReachTheRecordOnlyWhenConfirmed)
{
    settings::ProgramSettings record = settings::defaults();
    record.Pattern = 9;
    ui::FrmOption dialog(record, true);
    dialog.prepare();
    EXPECT_TRUE(dialog.pattern(0)->isChecked()); // 9 shows the first pattern
    EXPECT_FALSE(dialog.okButton()->isEnabled());
    dialog.hidden()->click();
    EXPECT_TRUE(dialog.okButton()->isEnabled());
    dialog.format(1)->click();
    EXPECT_FALSE(dialog.ApplyOptions()); // Tip unchanged
    EXPECT_TRUE(record.Hiddn);
    EXPECT_EQ(record.AshukuExe, 1);
    EXPECT_EQ(record.Pattern, 0); // confirming writes 0
    // Defaults then cancel: nothing changes.
    dialog.prepare();
    dialog.initButton()->click();
    EXPECT_TRUE(dialog.okButton()->isEnabled());
    EXPECT_FALSE(dialog.hidden()->isChecked());
    EXPECT_TRUE(record.Hiddn);
    // The tooltip switch.
    dialog.prepare();
    dialog.tip()->click();
    EXPECT_TRUE(dialog.ApplyOptions());
    EXPECT_FALSE(record.Tip);
    EXPECT_TRUE(dialog.subDir()->toolTip().isEmpty());
}

TEST(OptionsDialog, EnterNeverResetsTheChoices)
{
    settings::ProgramSettings record = settings::defaults();
    record.SubDir = false;
    record.Hiddn = true;
    record.Pattern = 2;
    ui::FrmOption dialog(record, true);
    dialog.prepare();
    dialog.show();
    QApplication::processEvents();
    auto enter = [&] {
        QWidget* focus = QApplication::focusWidget() ? QApplication::focusWidget() : &dialog;
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QApplication::sendEvent(focus, &press);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_Return, Qt::NoModifier);
        QApplication::sendEvent(focus, &release);
        QApplication::processEvents();
    };
    EXPECT_NE(QApplication::focusWidget(), dialog.initButton());
    enter(); // nothing changed yet: Enter does nothing at all
    EXPECT_FALSE(dialog.subDir()->isChecked());
    EXPECT_TRUE(dialog.hidden()->isChecked());
    EXPECT_TRUE(dialog.pattern(2)->isChecked());
    EXPECT_NE(dialog.result(), QDialog::Accepted);
    // Even with the focus on 初期値, Enter confirms what is shown.
    dialog.tip()->click();
    dialog.initButton()->setFocus();
    QApplication::processEvents();
    dialog.setResult(QDialog::Rejected);
    enter();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_FALSE(dialog.subDir()->isChecked());
    EXPECT_TRUE(dialog.hidden()->isChecked());
    EXPECT_TRUE(dialog.pattern(2)->isChecked());
}

TEST(OptionsDialog, WithoutZipTheZipChoicesFallBackAtOnce)
{
    settings::ProgramSettings record = settings::defaults();
    record.AshukuExe = 1;
    record.Pattern = 3;
    ui::FrmOption dialog(record, false);
    dialog.prepare();
    EXPECT_EQ(record.AshukuExe, 0); // even if the user cancels now
    EXPECT_EQ(record.Pattern, 0);
    EXPECT_FALSE(dialog.format(1)->isEnabled());
    EXPECT_FALSE(dialog.pattern(3)->isEnabled());
    EXPECT_TRUE(dialog.format(0)->isChecked());
}

} // namespace
