// The program's start before the main window.
#include "startup.h"

#include "engine/basvelt.h"
#include "frmsorvane.h"
#include "prompts.h"

namespace ui {

Start startUp(const QStringList& arguments, Prompts& prompts, settings::ProgramSettings& record,
              engine::LibrarySet& libraries, RunProgress& progress)
{
    if (arguments.join(QLatin1Char(' ')).toUpper() == QStringLiteral("/U")) {
        if (prompts.question(nullptr, catalogueText(0) + seriesText(20)))
            settings::DeleteAll();
        return Start::End;
    }
    settings::LoadSettings(record);
    libraries = engine::loadLibraries(basVelt::GetSystemFolder(), &RunProgress::handler, &progress);
    if (!libraries.availability.lzh) {
        prompts.message(nullptr, catalogueText(205));
        return Start::Failed;
    }
    if (libraries.availability.lzhVersion < 104)
        prompts.message(nullptr, catalogueText(206));
    return Start::Run;
}

} // namespace ui
