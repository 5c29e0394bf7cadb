// The main window comes up with the program's caption and its panel area.
#include "ui/frmsorvane.h"

#include <QApplication>
#include <QMdiArea>

#include <gtest/gtest.h>

namespace {

TEST(MainWindow, ShowsTheCaptionAndHoldsAPanelArea)
{
    FrmSorvane window;
    window.show();
    QApplication::processEvents();
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Sorvane2 for Win32"));
    EXPECT_EQ(window.objectName(), QStringLiteral("frmSorvane"));
    ASSERT_NE(window.mdiArea(), nullptr);
    EXPECT_EQ(window.centralWidget(), window.mdiArea());
    EXPECT_TRUE(window.isVisible());
}

} // namespace
