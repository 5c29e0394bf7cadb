// Disk images in the main window: a damaged image's run names the image and
// the cause, a read-only storage drive is refused with its reason, and the
// storage panel's drive list follows the image drives.
#include <QComboBox>
#include <QDropEvent>
#include <QMimeData>
#include <QTimer>
#include <QUrl>
#include <QPushButton>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "support/disk_images.h"
#include "support/testsupport.h"
#include "ui/folderlist.h"
#include "ui/panels.h"

#include "main_window.h"

namespace {

using namespace testsupport;
using uitest::MainWindow;

// A floppy whose README.TXT chain runs 2 → 3 → 2.
std::string loopingFloppy()
{
    Floppy floppy;
    floppy.putRoot(0, Floppy::entry("GAME01     ", 0x08, 0, 0));
    floppy.putRoot(1, Floppy::entry("README  TXT", 0x20, 2, 1500));
    floppy.setFat(2, 3);
    floppy.setFat(3, 2);
    floppy.putData(2, std::string(512, 'a'));
    floppy.putData(3, std::string(512, 'b'));
    return floppy.bytes();
}

class ImageWindow : public MainWindow {
protected:
    void attach(const std::string& name, const std::string& bytes)
    {
        m_image = m_dir / name;
        writeFile(m_image, bytes);
        m_state = fileState(m_image);
        ASSERT_TRUE(m_window->inDir()->useImage(QString::fromStdString(m_image)));
    }
    void TearDown() override
    {
        platform::detachImage();
        if (!m_image.empty()) {
            EXPECT_EQ(fileState(m_image), m_state) << "the image changed";
        }
        EXPECT_TRUE(listFiles(m_dir / "out").empty()) << "something was left in the storage folder";
    }
    static std::vector<std::string> listFiles(const std::string& folder)
    {
        std::vector<std::string> names;
        for (const auto& [path, file] : readTree(folder))
            names.push_back(path);
        return names;
    }

    std::string m_image;
    std::string m_state;
};

TEST_F(ImageWindow, ALoopingChainFailsWithTheImageFileAndCauseInTheHistory)
{
    attach("LOOP.HDM", loopingFloppy());
    typeName(QStringLiteral("DISK01"));
    m_window->button(0)->click();
    const QStringList lines = m_window->status()->lines();
    ASSERT_GE(lines.size(), 3) << lines.join('\n').toStdString();
    const int failed = static_cast<int>(lines.indexOf(ui::catalogueText(20004)));
    ASSERT_GE(failed, 0) << lines.join('\n').toStdString();
    ASSERT_GT(lines.size(), failed + 1) << lines.join('\n').toStdString();
    const QString cause = lines.at(failed + 1);
    EXPECT_TRUE(cause.contains(QStringLiteral("LOOP.HDM"))) << cause.toStdString();
    EXPECT_TRUE(cause.contains(QStringLiteral("README.TXT"))) << cause.toStdString();
    EXPECT_EQ(lines.last(), ui::seriesText(30));
    EXPECT_EQ(m_window->file()->fileText()->text(), QStringLiteral("DISK01"));
}


TEST_F(ImageWindow, AnImageDamagedAfterItWasChosenNamesItselfAndItsFault)
{
    attach("GAME01.HDM", labelledFloppy("GAME01     "));
    // Another dump written over the file: its boot sector and FAT are gone.
    std::string bytes = readFile(m_image);
    std::fill(bytes.begin(), bytes.begin() + 19 * 512, '\0');
    writeFile(m_image, bytes);
    m_state = fileState(m_image);
    typeName(QStringLiteral("DISK01"));
    m_window->button(0)->click();
    ASSERT_EQ(m_prompts.messages.size(), 1);
    const QString shown = m_prompts.messages.first();
    EXPECT_TRUE(shown.startsWith(ui::catalogueText(301) + QStringLiteral("\n"))) << shown.toStdString();
    EXPECT_TRUE(shown.contains(QString::fromStdString(m_image))) << shown.toStdString();
    EXPECT_TRUE(shown.contains(QStringLiteral("not a FAT, Human68k or N88-BASIC disk"))) << shown.toStdString();
    EXPECT_TRUE(m_window->status()->lines().isEmpty());
    EXPECT_EQ(m_window->file()->fileText()->text(), QStringLiteral("DISK01"));
}

TEST_F(ImageWindow, TheStorageListFollowsTheImageAndRefusesItAsReadOnly)
{
    auto listed = [&] {
        QStringList entries;
        for (int i = 0; i < m_window->outDir()->drives()->count(); ++i)
            entries << m_window->outDir()->drives()->itemText(i).left(2);
        return entries;
    };
    EXPECT_FALSE(listed().contains(QStringLiteral("e:")));
    attach("GAME01.HDM", labelledFloppy("GAME01     "));
    ASSERT_EQ(m_window->inDir()->DriveName(), QStringLiteral("e:"));
    EXPECT_TRUE(listed().contains(QStringLiteral("e:"))) << listed().join(' ').toStdString();

    // Packing a folder drive into the image drive: refused before any module runs, saying why.
    m_window->inDir()->setDriveName(QStringLiteral("a:"));
    m_window->outDir()->setDirName(QStringLiteral("E:\\"));
    typeName(QStringLiteral("DISK01"));
    m_window->button(0)->click();
    EXPECT_EQ(m_prompts.messages, QStringList{ui::catalogueText(20207) + QStringLiteral("\nE:\\")});
    EXPECT_EQ(m_window->status()->lines(), (QStringList{ui::catalogueText(20005), ui::seriesText(30)}));
    EXPECT_EQ(m_window->file()->fileText()->text(), QStringLiteral("DISK01"));

    // A folder cannot be made there either, and the message says why.
    m_prompts.input = QStringLiteral("NEW");
    m_window->mnuMkdir_Click();
    EXPECT_TRUE(m_prompts.messages.last().startsWith(ui::seriesText(104) + QStringLiteral("\n")))
        << m_prompts.messages.last().toStdString();
    EXPECT_TRUE(m_prompts.messages.last().contains(QStringLiteral("read only"))) << m_prompts.messages.last().toStdString();
}

TEST_F(ImageWindow, ALabelThatCannotBeAFileNameIsRefusedQuoted)
{
    for (const std::string& label11 : {std::string("A*B        "), std::string("C:X        "), std::string("DISK.      ")}) {
        m_prompts.messages.clear();
        attach("LABEL.HDM", labelledFloppy(label11));
        m_window->file()->labelOption()->setChecked(true);
        const QString label = m_window->file()->File_Name();
        m_window->button(0)->click();
        ASSERT_EQ(m_prompts.messages.size(), 1) << label11;
        EXPECT_EQ(m_prompts.messages.first(), ui::catalogueText(20206) + QStringLiteral("\n「") + label + QStringLiteral("」"));
        EXPECT_TRUE(m_window->status()->lines().isEmpty());
        EXPECT_TRUE(m_window->outFile()->paths().isEmpty());
    }
    // A usable label packs.
    m_prompts.messages.clear();
    attach("LABEL.HDM", labelledFloppy("GAME-01    "));
    m_window->file()->labelOption()->setChecked(true);
    m_window->button(0)->click();
    EXPECT_TRUE(m_prompts.messages.isEmpty()) << m_prompts.messages.join('\n').toStdString();
    EXPECT_EQ(m_window->outFile()->paths(), QStringList{QStringLiteral("D:\\GAME-01.LZH")});
    EXPECT_EQ(shell("lhasa t " + quote(m_dir / "out/GAME-01.LZH")).exitCode, 0);
    (void)::unlink((m_dir / "out/GAME-01.LZH").c_str());
}


class ImageQueue : public ImageWindow {
protected:
    void SetUp() override
    {
        ImageWindow::SetUp();
        makeDirs(m_dir / "pile");
        writeFile(m_dir / "pile/A.IMG", labelledFloppy("FIRST      ", "first disk"));
        writeFile(m_dir / "pile/B.IMG", loopingFloppy());
        writeFile(m_dir / "pile/C.D88", d88Of(labelledFloppy("THIRD      ", "third disk"), 512, 18, 2));
        writeFile(m_dir / "pile/notes.txt", "not an image");
        for (const char* name : {"A.IMG", "B.IMG", "C.D88"})
            m_states[name] = fileState(m_dir / ("pile/" + std::string(name)));
    }
    void TearDown() override
    {
        for (const auto& [name, state] : m_states)
            EXPECT_EQ(fileState(m_dir / ("pile/" + name)), state) << name;
        platform::detachImage();
    }
    // dropPile: the folder dropped on the source drive panel.
    void dropPile()
    {
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(QString::fromStdString(m_dir / "pile"))});
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(m_window->inDir(), &enter);
        EXPECT_TRUE(enter.isAccepted());
        QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(m_window->inDir(), &drop);
        EXPECT_TRUE(drop.isAccepted());
    }
    std::map<std::string, std::string> m_states;
};

TEST_F(ImageQueue, ThreeImagesPackInOnePressEachItsOwnRun)
{
    dropPile();
    ASSERT_EQ(m_window->inDir()->imageQueue().size(), 3) << m_prompts.messages.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(m_window->inDir()->drives()->currentText(), QStringLiteral("e: [FIRST] (1/3)"));
    EXPECT_EQ(m_window->file()->labelText()->text(), QStringLiteral("FIRST"));
    // Another image in the same drive: the label panel follows.
    ASSERT_TRUE(m_window->inDir()->showQueued(2).isEmpty());
    EXPECT_EQ(m_window->inDir()->drives()->currentText(), QStringLiteral("e: [THIRD] (3/3)"));
    EXPECT_EQ(m_window->file()->labelText()->text(), QStringLiteral("THIRD"));
    typeName(QStringLiteral("DISK01"));
    m_window->button(0)->click();

    const QStringList lines = m_window->status()->lines();
    const QString all = lines.join('\n');
    EXPECT_EQ(lines.first(), QStringLiteral("[1/3] ") + QString::fromStdString(m_dir / "pile/A.IMG"));
    EXPECT_TRUE(lines.contains(QStringLiteral("[2/3] ") + QString::fromStdString(m_dir / "pile/B.IMG"))) << all.toStdString();
    EXPECT_TRUE(lines.contains(QStringLiteral("[3/3] ") + QString::fromStdString(m_dir / "pile/C.D88"))) << all.toStdString();
    EXPECT_TRUE(all.contains(QStringLiteral("README.TXT: its cluster chain"))) << all.toStdString();
    EXPECT_EQ(lines.at(lines.size() - 2), ui::catalogueText(20210) + QStringLiteral("2/3"));
    EXPECT_EQ(lines.last(), ui::catalogueText(20211) + QStringLiteral("B.IMG"));
    EXPECT_EQ(lines.count(ui::seriesText(31)), 2);
    // The count-up goes on from the last image packed.
    EXPECT_EQ(m_window->outFile()->paths(), (QStringList{QStringLiteral("D:\\DISK01.LZH"), QStringLiteral("D:\\DISK02.LZH")}));
    EXPECT_EQ(m_window->file()->fileText()->text(), QStringLiteral("DISK03"));
    for (const auto& [archive, text] : {std::pair{"DISK01.LZH", "first disk"}, std::pair{"DISK02.LZH", "third disk"}}) {
        const std::string path = m_dir / ("out/" + std::string(archive));
        EXPECT_EQ(shell("lhasa t " + quote(path)).exitCode, 0) << archive;
        EXPECT_EQ(shell("bsdtar -xOf " + quote(path) + " README.TXT").output, text) << archive;
        ASSERT_EQ(::unlink(path.c_str()), 0);
    }
}

TEST_F(ImageQueue, ATypedNameThatDoesNotCountIsRefusedAndCancelStopsTheQueue)
{
    dropPile();
    ASSERT_EQ(m_window->inDir()->imageQueue().size(), 3) << m_prompts.messages.join(QLatin1Char('\n')).toStdString();
    m_window->file()->fileOption()->setChecked(true);
    m_window->file()->fileText()->setText(QStringLiteral("DISK01"));
    m_window->file()->autoCount()->setChecked(false);
    m_window->button(0)->click();
    EXPECT_EQ(m_prompts.messages.last(), ui::catalogueText(20212));
    EXPECT_TRUE(m_window->status()->lines().isEmpty());

    // Cancel during the first run: nothing more is packed.
    m_window->file()->autoCount()->setChecked(true);
    QTimer::singleShot(0, m_window.get(), [this] { m_window->requestCancel(); });
    m_window->button(0)->click();
    const QStringList lines = m_window->status()->lines();
    EXPECT_FALSE(lines.join('\n').contains(QStringLiteral("[2/3]"))) << lines.join('\n').toStdString();
    EXPECT_TRUE(lines.last().startsWith(ui::catalogueText(20211))) << lines.join('\n').toStdString();
    EXPECT_TRUE(lines.last().endsWith(QStringLiteral("B.IMG C.D88"))) << lines.last().toStdString();
    (void)::unlink((m_dir / "out/DISK01.LZH").c_str());
}

} // namespace
