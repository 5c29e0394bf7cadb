// Disk images in the main window: a damaged image's run names the image and
// the cause, a read-only storage drive is refused with its reason, and the
// storage panel's drive list follows the image drives.
#include <QComboBox>
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

} // namespace
