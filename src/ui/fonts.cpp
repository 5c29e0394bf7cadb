// Maps the Windows Japanese face names the settings store to installed faces.
#include "fonts.h"

#include <QString>
#include <QStringList>

namespace ui {

void installFontSubstitutions()
{
    const QString mincho = QStringLiteral("IPAMincho");
    const QString gothic = QStringLiteral("IPAGothic");
    const QString pMincho = QStringLiteral("IPAPMincho");
    const QString pGothic = QStringLiteral("IPAPGothic");
    QFont::insertSubstitutions(QStringLiteral("ＭＳ 明朝"), {mincho, QStringLiteral("IPA明朝")});
    QFont::insertSubstitutions(QStringLiteral("MS Mincho"), {mincho});
    QFont::insertSubstitutions(QStringLiteral("ＭＳ ゴシック"), {gothic, QStringLiteral("IPAゴシック")});
    QFont::insertSubstitutions(QStringLiteral("MS Gothic"), {gothic});
    QFont::insertSubstitutions(QStringLiteral("ＭＳ Ｐ明朝"), {pMincho});
    QFont::insertSubstitutions(QStringLiteral("MS PMincho"), {pMincho});
    QFont::insertSubstitutions(QStringLiteral("ＭＳ Ｐゴシック"), {pGothic});
    QFont::insertSubstitutions(QStringLiteral("MS PGothic"), {pGothic});
}

QFont programFont(const settings::ProgramSettings& record)
{
    QFont font(QString::fromStdString(record.Font_Name), record.Font_Size > 0 ? record.Font_Size : 10);
    font.setBold(record.Font_Bold);
    font.setItalic(record.Font_Italic);
    return font;
}

} // namespace ui
