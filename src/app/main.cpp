// Sorvane2: packs the whole contents of a drive into one archive, disk after disk.
#include <QApplication>
#include <QFont>

#include <cstdio>

#include "engine/basvelt.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "ui/fonts.h"
#include "ui/frmsorvane.h"
#include "ui/prompts.h"

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Sorvane2"));
    QApplication::setOrganizationName(QStringLiteral("Brelmoor"));
    ui::installFontSubstitutions();
    ui::Prompts& prompts = ui::defaultPrompts();

    // "/U" alone, in any case: delete this program's settings after a question, then end.
    QStringList arguments = QApplication::arguments();
    arguments.removeFirst();
    if (arguments.join(QLatin1Char(' ')).toUpper() == QStringLiteral("/U")) {
        if (prompts.question(nullptr, ui::seriesText(20)))
            settings::DeleteAll();
        return 0;
    }
    settings::ProgramSettings record;
    settings::LoadSettings(record);
    QFont font(QString::fromStdString(record.Font_Name), record.Font_Size > 0 ? record.Font_Size : 10);
    font.setBold(record.Font_Bold);
    font.setItalic(record.Font_Italic);
    QApplication::setFont(font);

    if (const std::string problem = platform::driveMapProblem(); !problem.empty())
        std::fprintf(stderr, "sorvane2: %s\n", problem.c_str());
    static ui::RunProgress progress;
    engine::LibrarySet libraries =
        engine::loadLibraries(basVelt::GetSystemFolder(), &ui::RunProgress::handler, &progress);
    if (!libraries.availability.lzh) {
        prompts.message(nullptr, ui::catalogueText(205));
        return 1;
    }
    if (libraries.availability.lzhVersion < 104)
        prompts.message(nullptr, ui::catalogueText(206));

    ui::FrmSorvane window(record, libraries, progress, prompts);
    window.show();
    const int result = QApplication::exec();
    settings::SaveSettings(record);
    return result;
}
