// Sorvane2: packs the whole contents of a drive into one archive, disk after disk.
#include <QApplication>
#include <QFileInfo>
#include <QFont>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/basvelt.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "ui/fonts.h"
#include "ui/frmsorvane.h"
#include "ui/icon.h"
#include "ui/language.h"
#include "ui/prompts.h"
#include "ui/startup.h"

namespace {

// SORVANE2_SELF_CHECK=1: the program starts as usual but prints what it found
// (the modules' folder, the archiver libraries, the help page) instead of
// waiting for the user, and ends without saving anything. Message boxes go
// to stderr. This is how an installation is checked without a person.
struct SelfCheckPrompts : ui::Prompts {
    void message(QWidget*, const QString& text) override { std::fprintf(stderr, "%s\n", qUtf8Printable(text)); }
    bool question(QWidget*, const QString& text) override
    {
        message(nullptr, text);
        return false;
    }
    QString saveFile(QWidget*, const QString&, const QString&) override { return {}; }
    bool chooseFont(QWidget*, QFont&) override { return false; }
    void openHelp(QWidget*, const QString& path) override
    {
        std::printf("help: %s (%s)\n", qUtf8Printable(path), QFileInfo(path).isFile() ? "found" : "missing");
    }
    void runModal(QDialog&) override {}
    QString inputText(QWidget*, const QString&, const QString&, const QString&) override { return {}; }
};

bool selfCheck()
{
    const char* value = std::getenv("SORVANE2_SELF_CHECK");
    return value && std::string(value) == "1";
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Sorvane2"));
    QApplication::setOrganizationName(QStringLiteral("Brelmoor"));
    QGuiApplication::setDesktopFileName(QStringLiteral(SORVANE2_APP_ID));
    QApplication::setWindowIcon(ui::programIcon());
    ui::installFontSubstitutions();
    ui::installJapanese();
    const bool checking = selfCheck();
    static SelfCheckPrompts checkPrompts;
    ui::Prompts& prompts = checking ? checkPrompts : ui::defaultPrompts();

    settings::ProgramSettings record;
    static ui::RunProgress progress;
    engine::LibrarySet libraries;
    QStringList arguments = QApplication::arguments();
    arguments.removeFirst();
    if (const std::string problem = platform::driveMapProblem(); !problem.empty())
        std::fprintf(stderr, "sorvane2: %s\n", problem.c_str());
    if (checking)
        std::printf("modules: %s\n", basVelt::GetSystemFolder().c_str());
    switch (ui::startUp(arguments, prompts, record, libraries, progress)) {
    case ui::Start::End:
        return checking ? 1 : 0;
    case ui::Start::Failed:
        return 1; // the message said why: no archiver to run with
    case ui::Start::Run:
        break;
    }
    QApplication::setFont(ui::programFont(record));

    ui::FrmSorvane window(record, libraries, progress, prompts);
    if (!window.loadError().isEmpty()) {
        prompts.message(nullptr, window.loadError()); // a broken stored value: the program ends
        return 1;
    }
    window.show();
    if (checking) {
        QApplication::processEvents();
        for (const engine::AboutLine& line : engine::aboutLines(libraries.availability))
            if (!line.name.empty())
                std::printf("library: %s %s\n", line.name.c_str(), line.version.c_str());
        window.mnuHelp_Click();
        return 0;
    }
    const int result = QApplication::exec();
    settings::SaveSettings(record);
    return result;
}
