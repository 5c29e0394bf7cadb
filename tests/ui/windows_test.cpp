// The windows as a user meets them: the font dialog, the log commands, the
// panels' first places, the progress window beside the run's messages, the
// start-up label, the drag order, the dialogs' stored values, the About box,
// the input boxes, the storage folder caption, Qt's own texts and the help.
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFontDialog>
#include <QFontInfo>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOption>
#include <QTextBrowser>
#include <QUrl>

#include <cmath>
#include <filesystem>

#include <gtest/gtest.h>

#include "main_window.h"
#include "ui/folderlist.h"
#include "ui/fonts.h"
#include "ui/frmabout.h"
#include "ui/frmdefault.h"
#include "ui/frmmenumente.h"
#include "ui/frmoption.h"
#include "ui/geometry.h"
#include "ui/helpwindow.h"
#include "ui/language.h"
#include "ui/panels.h"

namespace {

using namespace testsupport;
using uitest::MainWindow;
using uitest::whenModal;
namespace fs = std::filesystem;

std::string stored(const char* key)
{
    return platform::settingsRead(settings::kApplication, settings::kSection, key, "<none>");
}

void store(const char* key, const std::string& value)
{
    ASSERT_TRUE(platform::settingsWrite(settings::kApplication, settings::kSection, key, value).ok());
}

// ── Font dialog ─────────────────────────────────────────────────────────────

TEST_F(MainWindow, TheFontDialogOpensOnTheCurrentFontAndAnUnchangedAnswerKeepsEverything)
{
    ui::installFontSubstitutions();
    m_settings = settings::defaults(); // "ＭＳ 明朝", 10, neither bold nor italic
    m_prompts.realFontDialog = true;
    // A marker on every window shows whether anything was refreshed.
    QFont marker(QStringLiteral("IPAGothic"), 21);
    m_window->status()->setFont(marker);
    m_window->about()->setFont(marker);
    const QString face = QFontInfo(ui::programFont(m_settings)).family();
    QFont opened;
    whenModal<QFontDialog>([&](QFontDialog& dialog) {
        opened = dialog.currentFont();
        dialog.accept();
    });
    m_window->mnuFont_Click();
    EXPECT_EQ(opened.family(), face);
    EXPECT_EQ(opened.pointSize(), 10);
    EXPECT_FALSE(opened.bold());
    EXPECT_FALSE(opened.italic());
    EXPECT_EQ(m_settings.Font_Name, "ＭＳ 明朝");
    EXPECT_EQ(m_settings.Font_Size, 10);
    EXPECT_FALSE(m_settings.Font_Bold);
    EXPECT_FALSE(m_settings.Font_Italic);
    EXPECT_EQ(m_window->status()->font().pointSize(), 21);
    EXPECT_EQ(m_window->about()->font().pointSize(), 21);

    // A new size in the same dialog reaches the panels and every dialog.
    whenModal<QFontDialog>([&](QFontDialog& dialog) {
        QFont bigger = dialog.currentFont();
        bigger.setPointSize(14);
        dialog.setCurrentFont(bigger);
        dialog.accept();
    });
    m_window->mnuFont_Click();
    EXPECT_EQ(m_settings.Font_Size, 14);
    EXPECT_EQ(m_settings.Font_Name, "ＭＳ 明朝"); // the same face keeps its stored name
    for (QWidget* window : std::initializer_list<QWidget*>{m_window->button(0), m_window->status(),
             m_window->about(), m_window->options(), m_window->driveDialog(), m_window->folderDialog()})
        EXPECT_EQ(window->font().pointSize(), 14) << window->objectName().toStdString();

    // Cancel changes nothing.
    whenModal<QFontDialog>([](QFontDialog& dialog) { dialog.reject(); });
    m_window->mnuFont_Click();
    EXPECT_EQ(m_settings.Font_Size, 14);
}

// ── Log copy and save ───────────────────────────────────────────────────────

TEST_F(MainWindow, AnEmptyHistoryWritesNoLogAndCopiesNothing)
{
    const std::string log(71, 'x');
    writeFile(m_dir / "RUN.LOG", log);
    m_prompts.savePath = QString::fromStdString(m_dir / "RUN.LOG");
    ASSERT_TRUE(m_window->status()->lines().isEmpty());
    m_window->status()->LogSave();
    EXPECT_EQ(m_prompts.saveSuffix, QStringLiteral("LOG"));
    EXPECT_EQ(readFile(m_dir / "RUN.LOG"), log); // kept, byte for byte
    EXPECT_TRUE(m_prompts.messages.isEmpty());   // no overwrite question
    m_prompts.savePath = QString::fromStdString(m_dir / "NEW.LOG");
    m_window->status()->LogSave();
    EXPECT_FALSE(exists(m_dir / "NEW.LOG"));

    QApplication::clipboard()->setText(QStringLiteral("the user's own text"));
    m_window->status()->LogCopy();
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("the user's own text"));
    m_window->status()->ListInAdd(QStringLiteral("[ a:\\ ]"));
    m_window->status()->LogCopy();
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("[ a:\\ ]\r\n"));
}

TEST_F(MainWindow, TheSaveDialogAddsLogToATypedName)
{
    const QStringList typed{QStringLiteral("RUN"), QStringLiteral("RUN.LOG"), QStringLiteral("RUN.TXT")};
    const QStringList expected{QStringLiteral("RUN.LOG"), QStringLiteral("RUN.LOG"), QStringLiteral("RUN.TXT")};
    for (int i = 0; i < typed.size(); ++i) {
        whenModal<QFileDialog>([&](QFileDialog& dialog) {
            dialog.setDirectory(QString::fromStdString(m_dir.path()));
            auto* name = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            ASSERT_TRUE(name);
            name->setText(typed[i]);
            auto* buttons = dialog.findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
            ASSERT_TRUE(buttons);
            buttons->button(QDialogButtonBox::Save)->click();
        });
        const QString path = ui::defaultPrompts().saveFile(m_window.get(), QStringLiteral("LogFile(*.LOG)"),
            QStringLiteral("LOG"));
        EXPECT_EQ(QFileInfo(path).fileName(), expected[i]) << typed[i].toStdString();
    }
}

// ── Panel places and the twips round trip ───────────────────────────────────

TEST_F(MainWindow, WithoutStoredPlacesThePanelsStartAtTheirDesign)
{
    m_settings.Resize = false;
    ui::FrmSorvane window(m_settings, m_libraries, m_progress, m_prompts);
    window.show();
    QApplication::processEvents();
    const double twips = ui::twipsPerPixel(window.logicalDpiX());
    const int design[5][4] = {{0, 0, 3900, 2200}, {0, 2200, 3900, 4400}, {3900, 0, 3900, 2200},
        {3900, 2200, 3900, 2200}, {3900, 4400, 3900, 2200}};
    const auto windows = window.mdiArea()->subWindowList();
    ASSERT_EQ(windows.size(), 5);
    for (int i = 0; i < 5; ++i) {
        const QRect place = windows[i]->geometry();
        EXPECT_EQ(place, QRect(static_cast<int>(std::lround(design[i][0] / twips)),
                             static_cast<int>(std::lround(design[i][1] / twips)),
                             static_cast<int>(std::lround(design[i][2] / twips)),
                             static_cast<int>(std::lround(design[i][3] / twips))))
            << i;
        EXPECT_GE(place.width(), 200); // never the 100 x 30 stubs of a window not yet shown
    }
    window.close();
    EXPECT_EQ(stored("File_Width"), "3900");
    EXPECT_EQ(stored("File_Height"), "4400");
    EXPECT_EQ(stored("OutFile_Top"), "4400");
}

TEST_F(MainWindow, StoredPositionsComeBackExactlyWhenNothingMoved)
{
    m_settings.Resize = false;
    const std::vector<std::pair<const char*, std::string>> keys{{"Main_Left", "1000"}, {"Main_Top", "1010"},
        {"Main_Width", "8000"}, {"Main_Height", "7990"}, {"Option_Left", "1000"}, {"Option_Top", "1234.5"},
        {"About_Left", "1001"}, {"Default_Width", "5000"}, {"DefaultDrive_Height", "4999"},
        {"MenuMente_Top", "1013"}, {"InDir_Left", "7"}, {"File_Width", "3901"}, {"Status_Height", "2222"}};
    for (const auto& [key, value] : keys)
        store(key, value);
    {
        ui::FrmSorvane window(m_settings, m_libraries, m_progress, m_prompts);
        ASSERT_TRUE(window.loadError().isEmpty());
        window.show();
        QApplication::processEvents();
        window.close();
    }
    for (const auto& [key, value] : keys)
        EXPECT_EQ(stored(key), value) << key;

    // A window the user moved writes where it is now.
    ui::FrmSorvane window(m_settings, m_libraries, m_progress, m_prompts);
    window.show();
    QApplication::processEvents();
    window.options()->move(window.options()->x() + 10, window.options()->y());
    window.close();
    const auto left = settings::parsePosition(stored("Option_Left"));
    ASSERT_TRUE(left);
    EXPECT_NEAR(*left, 1000.0 + 10 * ui::twipsPerPixel(window.logicalDpiX()), 15.0);
}

TEST_F(MainWindow, ALargeFontGrowsTheDialogsWithoutStoringTheGrownSizes)
{
    m_settings.Resize = false;
    store("Default_Width", "5000");
    store("Default_Height", "3000");
    m_settings.Font_Size = 20;
    {
        ui::FrmSorvane window(m_settings, m_libraries, m_progress, m_prompts);
        window.show();
        QApplication::processEvents();
        QSize shown, least;
        m_prompts.modal = [&](QDialog& dialog) {
            QApplication::processEvents();
            shown = dialog.size();
            least = dialog.minimumSizeHint();
        };
        window.mnuOutDirDefault_Click();
        m_prompts.modal = nullptr;
        // Grown to fit its controls at this font, nothing cut.
        EXPECT_GE(shown.width(), least.width());
        EXPECT_GT(shown.width(), 5000 / 15);
        window.close();
    }
    EXPECT_EQ(stored("Default_Width"), "5000");
    EXPECT_EQ(stored("Default_Height"), "3000");

    // Made larger by the user: that size is kept.
    m_settings.Font_Size = 10;
    ui::FrmSorvane window(m_settings, m_libraries, m_progress, m_prompts);
    window.show();
    QApplication::processEvents();
    m_prompts.modal = [&](QDialog& dialog) {
        QApplication::processEvents();
        dialog.resize(dialog.width() + 40, dialog.height());
    };
    window.mnuOutDirDefault_Click();
    m_prompts.modal = nullptr;
    window.close();
    const auto width = settings::parsePosition(stored("Default_Width"));
    ASSERT_TRUE(width);
    EXPECT_GT(*width, 5000.0f);
}

TEST_F(MainWindow, TheAboutBoxFollowsALargerFont)
{
    ui::FrmAbout about(m_libraries.availability);
    const QSize designed = about.size();
    QFont font = about.font();
    font.setPointSize(14);
    about.setFont(font);
    about.show();
    QApplication::processEvents();
    EXPECT_GT(about.width(), designed.width());
    auto* ok = about.findChild<QPushButton*>(QStringLiteral("btnOK"));
    ASSERT_TRUE(ok);
    for (QWidget* child : about.findChildren<QWidget*>()) {
        if (child->parentWidget() != &about)
            continue;
        EXPECT_TRUE(about.rect().contains(child->geometry())) << child->objectName().toStdString();
        if (auto* box = qobject_cast<QLineEdit*>(child)) {
            EXPECT_EQ(box->font().pointSize(), 14) << box->objectName().toStdString();
            EXPECT_GE(box->height(), box->minimumSizeHint().height()) << box->objectName().toStdString();
        }
        if (auto* label = qobject_cast<QLabel*>(child); label && !label->text().isEmpty()) {
            EXPECT_GE(label->height(), label->fontMetrics().height()) << label->objectName().toStdString();
        }
        // Every text ends above the button.
        if (child != ok) {
            EXPECT_LE(child->y() + child->fontMetrics().height(), ok->y()) << child->objectName().toStdString();
        }
    }
}

TEST(GeometryMemo, ConvertsAndRemembers)
{
    ui::GeometryMemo memo(15.0);
    struct Case {
        float twips;
        int pixels;
    };
    for (const Case& c : {Case{1000, 67}, Case{8000, 533}, Case{7, 0}, Case{-1000, -67}, Case{1e30f, 16777215},
             Case{-1e30f, -16777215}}) {
        EXPECT_EQ(memo.pixels("k", c.twips), c.pixels) << c.twips;
        EXPECT_EQ(memo.twips("k", c.pixels), c.twips);
    }
    EXPECT_EQ(memo.twips("k", 10), 150.0f);     // moved: the plain conversion
    EXPECT_EQ(memo.twips("never", 10), 150.0f); // never read
}

// ── Dialogs' stored values ──────────────────────────────────────────────────

TEST_F(MainWindow, AStoredDialogPositionThatIsNotANumberFailsThatDialogsLoad)
{
    m_settings.Resize = false;
    struct Case {
        const char* key;
        const char* message;
    };
    const Case cases[] = {{"Option_Left", "Sorvane2 frmOption Form_Load ERR"},
        {"Option_Top", "Sorvane2 frmOption Form_Load ERR"},
        {"Default_Width", "Sorvane2 frmDefault Form_Load ERR"},
        {"DefaultDrive_Top", "Sorvane2 frmDefaultDrive Form_Load ERR"},
        {"DefaultDrive_Height", "Sorvane2 frmDefaultDrive Form_Load ERR"},
        {"MenuMente_Left", "frmMenuMente Form_Load ERR"}, {"InDir_Width", "Sorvane2 mdiinDir Form_Load ERR"},
        {"OutFile_Top", "Sorvane2 mdiOutFile Form_Load ERR"}, {"Main_Top", "Sorvane2 frmSorvane MDIForm_Load ERR"}};
    for (const Case& c : cases) {
        store(c.key, "abc");
        ui::FrmSorvane window(m_settings, m_libraries, m_progress, m_prompts);
        EXPECT_EQ(window.loadError(), QString::fromLatin1(c.message)) << c.key;
        store(c.key, "1000");
    }
    // Two broken windows: the first one the frame loads speaks.
    store("Option_Left", "abc");
    store("Default_Top", "x");
    ui::FrmSorvane window(m_settings, m_libraries, m_progress, m_prompts);
    EXPECT_EQ(window.loadError(), QStringLiteral("Sorvane2 frmDefault Form_Load ERR"));
}

TEST_F(MainWindow, ABrokenAboutPositionEmptiesTheLibraryLinesOnly)
{
    store("About_Left", "abc");
    ui::FrmSorvane window(m_settings, m_libraries, m_progress, m_prompts);
    EXPECT_TRUE(window.loadError().isEmpty());
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(window.about()->programLine(i)->text().isEmpty());
        EXPECT_TRUE(window.about()->versionLine(i)->text().isEmpty());
    }
    EXPECT_EQ(m_window->about()->programLine(0)->text(), QStringLiteral("UNLHA32.DLL"));
}

// ── About box ───────────────────────────────────────────────────────────────

TEST_F(MainWindow, TheAboutBoxHasItsDesignSizePictureAndWholeContactBoxes)
{
    ui::FrmAbout* about = m_window->about();
    m_prompts.modal = [&](QDialog& dialog) {
        EXPECT_EQ(&dialog, about);
        EXPECT_EQ(dialog.size(), QSize(4710 / 15, 3360 / 15));
        auto* picture = dialog.findChild<QLabel*>(QStringLiteral("imgAbout"));
        ASSERT_TRUE(picture);
        EXPECT_TRUE(picture->isVisible());
        EXPECT_EQ(picture->pixmap().size(), QSize(32, 32));
        for (const char* name : {"txtNiftyMail", "txtMail", "txtHttp"}) {
            auto* box = dialog.findChild<QLineEdit*>(QLatin1String(name));
            ASSERT_TRUE(box);
            EXPECT_TRUE(dialog.rect().contains(box->geometry())) << name;
            EXPECT_LE(box->fontMetrics().horizontalAdvance(box->text()), box->width() - 8) << name;
        }
        for (QWidget* child : dialog.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            EXPECT_TRUE(dialog.rect().contains(child->geometry())) << child->objectName().toStdString();
        }
        dialog.findChild<QPushButton*>(QStringLiteral("btnOK"))->click();
        EXPECT_FALSE(dialog.isVisible());
    };
    m_window->mnuAbout_Click();
    EXPECT_EQ(about->programLine(0)->text(), QStringLiteral("UNLHA32.DLL")); // kept after hiding
}

// ── Progress window and the run's messages ──────────────────────────────────

TEST_F(MainWindow, ARefusalIsNeverCoveredByTheProgressWindow)
{
    m_window->outDir()->setDirName(QStringLiteral("A:\\SUB"));
    typeName(QStringLiteral("DISK01"));
    bool progressShown = false;
    // The user reads the box for a while; the progress window must not come up over it.
    m_prompts.onMessage = [&](const QString&) {
        QElapsedTimer reading;
        reading.start();
        while (reading.elapsed() < 700)
            QApplication::processEvents(QEventLoop::AllEvents, 20);
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (widget->objectName() == QStringLiteral("progress") && widget->isVisible())
                progressShown = true;
    };
    m_window->button(0)->click();
    EXPECT_EQ(m_prompts.messages, QStringList{ui::catalogueText(20200)});
    EXPECT_FALSE(progressShown);
    for (QWidget* widget : QApplication::topLevelWidgets())
        EXPECT_FALSE(widget->objectName() == QStringLiteral("progress") && widget->isVisible());
}

// ── Start-up drive and its label ────────────────────────────────────────────

TEST_F(MainWindow, OnlyTheStartUpDrivesLabelNamesTheArchive)
{
    m_drives.emplace("SORVANE2_DRIVES", "a=" + m_dir.path() + "/disk|DISK07;c=" + m_dir.path()
            + "/tmp;d=" + m_dir.path() + "/out|OUTDISK");
    store("Dir_In", "d:\\");
    ui::FrmSorvane window(m_settings, m_libraries, m_progress, m_prompts);
    EXPECT_EQ(window.inDir()->DriveName(), QStringLiteral("d:"));
    EXPECT_EQ(window.file()->labelText()->text(), QStringLiteral("OUTDISK"));
    EXPECT_EQ(window.file()->fileText()->text(), QStringLiteral("OUTDISK")); // not a:'s DISK07
}

// ── Drag order ──────────────────────────────────────────────────────────────

void click(QListWidget& list, int row, Qt::KeyboardModifiers modifiers)
{
    const QPoint at = list.visualItemRect(list.item(row)).center();
    QMouseEvent press(QEvent::MouseButtonPress, at, list.viewport()->mapToGlobal(at), Qt::LeftButton,
        Qt::LeftButton, modifiers);
    QApplication::sendEvent(list.viewport(), &press);
    QMouseEvent release(QEvent::MouseButtonRelease, at, list.viewport()->mapToGlobal(at), Qt::LeftButton,
        Qt::NoButton, modifiers);
    QApplication::sendEvent(list.viewport(), &release);
}

TEST_F(MainWindow, DraggedArchivesComeInListOrder)
{
    ui::MdiOutFile* panel = m_window->outFile();
    for (const char* name : {"D:\\DISK01.LZH", "D:\\DISK02.LZH", "D:\\DISK03.LZH", "D:\\DISK04.LZH"})
        panel->ListInAdd(QString::fromLatin1(name));
    QListWidget& list = *panel->list();
    m_window->mdiArea()->subWindowList()[4]->resize(400, 300);
    QApplication::processEvents();
    click(list, 3, Qt::NoModifier);
    click(list, 0, Qt::ControlModifier);
    click(list, 2, Qt::ControlModifier);
    ASSERT_EQ(list.selectedItems().size(), 3);
    // What a drag hands over: the model's data for the selection, as the view asks for it.
    std::unique_ptr<QMimeData> data(list.model()->mimeData(list.selectionModel()->selectedIndexes()));
    ASSERT_TRUE(data);
    QStringList names;
    for (const QUrl& url : data->urls())
        names << QFileInfo(url.toLocalFile()).fileName();
    EXPECT_EQ(names, (QStringList{QStringLiteral("DISK01.LZH"), QStringLiteral("DISK03.LZH"),
                         QStringLiteral("DISK04.LZH")}));
}

// ── Input boxes ─────────────────────────────────────────────────────────────

TEST(InputBoxes, ACarriageReturnBreaksThePromptsLine)
{
    EXPECT_EQ(ui::promptLines(QStringLiteral("a\rb")), QStringLiteral("a\nb"));
    EXPECT_EQ(ui::promptLines(QStringLiteral("a\r\nb\rc")), QStringLiteral("a\nb\nc"));
    EXPECT_EQ(ui::promptLines(QStringLiteral("a\nb")), QStringLiteral("a\nb"));
    QString shown;
    whenModal<QInputDialog>([&](QInputDialog& dialog) {
        shown = dialog.labelText();
        dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    });
    const QString answer = ui::defaultPrompts().inputText(nullptr,
        ui::seriesText(1100) + QStringLiteral("\rD:\\ARC"), ui::seriesText(1101), QStringLiteral("ARC"));
    EXPECT_EQ(shown, ui::seriesText(1100) + QStringLiteral("\nD:\\ARC"));
    EXPECT_EQ(answer, QStringLiteral("ARC"));
}

// ── Storage folder caption ──────────────────────────────────────────────────

// What the sub-window's title bar shows of its title: the frame and then
// the style (14 pixels short of the label in Fusion) cut the end off.
QString shownTitle(const QMdiSubWindow& frame)
{
    QStyleOptionTitleBar option;
    option.initFrom(&frame);
    option.subControls = QStyle::SC_All;
    option.titleBarFlags = frame.windowFlags();
    option.titleBarState = frame.windowState();
    option.rect = QRect(4, 4, frame.width() - 8, frame.style()->pixelMetric(QStyle::PM_TitleBarHeight, &option, &frame));
    option.text = frame.windowTitle();
    const QFontMetrics metrics(QApplication::font("QMdiSubWindowTitleBar"));
    const int room = frame.style()->subControlRect(QStyle::CC_TitleBar, &option, QStyle::SC_TitleBarLabel, &frame).width();
    return metrics.elidedText(metrics.elidedText(frame.windowTitle(), Qt::ElideRight, room), Qt::ElideRight, room - 14);
}

TEST_F(MainWindow, TheStorageCaptionGivesWayBeforeTheFreeSpace)
{
    QMdiSubWindow* frame = m_window->mdiArea()->subWindowList()[2];
    const QString caption = m_window->outDir()->windowTitle();
    const QString free = caption.mid(ui::catalogueText(4000).size());
    ASSERT_TRUE(free.endsWith(QStringLiteral("Free)")));
    for (int width : {3900 / 15, 200, 160}) {
        frame->resize(width, frame->height());
        QApplication::processEvents();
        const QString shown = shownTitle(*frame);
        EXPECT_TRUE(shown.endsWith(free)) << width << " " << shown.toStdString();
    }
    frame->resize(900, frame->height());
    QApplication::processEvents();
    EXPECT_EQ(shownTitle(*frame), caption); // room enough: all of it
}

// ── Qt's own texts ──────────────────────────────────────────────────────────

TEST(StandardTexts, QtsOwnButtonsAndDialogsSpeakJapanese)
{
    ASSERT_TRUE(ui::installJapanese());
    QDialogButtonBox buttons(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Yes
        | QDialogButtonBox::No);
    EXPECT_EQ(buttons.button(QDialogButtonBox::Cancel)->text(), QStringLiteral("キャンセル"));
    EXPECT_TRUE(buttons.button(QDialogButtonBox::Yes)->text().startsWith(QStringLiteral("はい")));
    EXPECT_TRUE(buttons.button(QDialogButtonBox::No)->text().startsWith(QStringLiteral("いいえ")));
    QFontDialog fonts;
    EXPECT_NE(fonts.windowTitle(), QStringLiteral("Select Font"));
}

// ── Help ────────────────────────────────────────────────────────────────────

TEST_F(MainWindow, TheHelpPageOpensInAWindowOfTheProgram)
{
    writeFile(m_dir / "Sorvane2.html", "<html><body><h1>ヘルプの見出し</h1></body></html>");
    QDialog* help = ui::showHelpWindow(m_window.get(), QString::fromStdString(m_dir / "Sorvane2.html"));
    ASSERT_TRUE(help);
    EXPECT_TRUE(help->isVisible());
    auto* page = help->findChild<QTextBrowser*>(QStringLiteral("page"));
    ASSERT_TRUE(page);
    EXPECT_TRUE(page->toPlainText().contains(QStringLiteral("ヘルプの見出し")));
    // A second call reuses the window; a missing page names itself.
    EXPECT_EQ(ui::showHelpWindow(m_window.get(), QString::fromStdString(m_dir / "GONE.html")), help);
    EXPECT_TRUE(page->toPlainText().contains(QStringLiteral("GONE.html")));
    help->close();
}

TEST_F(MainWindow, TheHelpPageCoversImagesTheQueueThePackCommandAndTheSettings)
{
    const QString path = QString::fromStdString(platform::programFile("Sorvane2.html"));
    QDialog* help = ui::showHelpWindow(m_window.get(), path);
    ASSERT_TRUE(help);
    const QString text = help->findChild<QTextBrowser*>(QStringLiteral("page"))->toPlainText();
    for (const char* topic : {"ディスクイメージ", "D88", "sorvane2-pack", "--images", "--label", "Brelmoor.ini",
             "SORVANE2_DRIVES", "/U", "CRC"})
        EXPECT_TRUE(text.contains(QString::fromUtf8(topic))) << topic;
    help->close();
}

// ── Folder dialogs' popup ───────────────────────────────────────────────────

TEST_F(MainWindow, TheFolderDialogsCopyTheSourceDrive)
{
    makeDirs(m_dir / "disk/SUB");
    m_window->inDir()->setDriveName(QStringLiteral("a:"));
    m_prompts.modal = [](QDialog& dialog) {
        auto& d = static_cast<ui::FrmDefault&>(dialog);
        EXPECT_FALSE(d.okButton()->isEnabled());
        d.popup()->actions()[0]->trigger(); // 現在の圧縮ドライブからコピー
        EXPECT_EQ(d.drives()->drive(), QStringLiteral("a:"));
        EXPECT_TRUE(d.DirName().startsWith(QStringLiteral("A:\\")));
        EXPECT_TRUE(d.okButton()->isEnabled());
        d.okButton()->click();
    };
    m_window->mnuOutDirDefault_Click();
    EXPECT_EQ(m_window->defaultFolder().substr(0, 3), "A:\\");
}

} // namespace
