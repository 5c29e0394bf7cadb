// Maps the Windows Japanese face names the settings store to installed faces.
#include "fonts.h"

#include <QFont>
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

} // namespace ui
