// Sorvane2: packs the whole contents of a drive into one archive, disk after disk.
#include <QApplication>
#include <QFont>

#include <cstdio>

#include "platform/platform.h"
#include "ui/fonts.h"
#include "ui/frmsorvane.h"

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Sorvane2"));
    QApplication::setOrganizationName(QStringLiteral("Brelmoor"));
    ui::installFontSubstitutions();
    QApplication::setFont(QFont(QStringLiteral("ＭＳ 明朝"), 10));

    if (const std::string problem = platform::driveMapProblem(); !problem.empty())
        std::fprintf(stderr, "sorvane2: %s\n", problem.c_str());

    FrmSorvane window;
    window.show();
    return QApplication::exec();
}
