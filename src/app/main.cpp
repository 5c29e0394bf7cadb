// Sorvane2: packs the whole contents of a drive into one archive, disk after disk.
#include <QApplication>
#include <QFont>

#include <cstdio>

#include "engine/basvelt.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "ui/fonts.h"
#include "ui/frmsorvane.h"
#include "ui/language.h"
#include "ui/prompts.h"
#include "ui/startup.h"

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Sorvane2"));
    QApplication::setOrganizationName(QStringLiteral("Brelmoor"));
    ui::installFontSubstitutions();
    ui::installJapanese();
    ui::Prompts& prompts = ui::defaultPrompts();

    settings::ProgramSettings record;
    static ui::RunProgress progress;
    engine::LibrarySet libraries;
    QStringList arguments = QApplication::arguments();
    arguments.removeFirst();
    if (const std::string problem = platform::driveMapProblem(); !problem.empty())
        std::fprintf(stderr, "sorvane2: %s\n", problem.c_str());
    if (ui::startUp(arguments, prompts, record, libraries, progress) == ui::Start::End)
        return 0;
    QApplication::setFont(ui::programFont(record));

    ui::FrmSorvane window(record, libraries, progress, prompts);
    if (!window.loadError().isEmpty()) {
        prompts.message(nullptr, window.loadError()); // a broken stored value: the program ends
        return 1;
    }
    window.show();
    const int result = QApplication::exec();
    settings::SaveSettings(record);
    return result;
}
