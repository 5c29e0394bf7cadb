#include "icon.h"

#include <QDir>

namespace ui {

QIcon programIcon()
{
    QIcon icon;
    const QDir folder(QStringLiteral(":/sorvane2/icons"));
    for (const QString& name : folder.entryList({QStringLiteral("*.png")}, QDir::Files))
        icon.addFile(folder.filePath(name));
    return icon;
}

} // namespace ui
