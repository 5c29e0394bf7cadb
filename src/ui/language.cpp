// Qt's standard texts in Japanese, and the Japanese locale for the dialogs.
#include "language.h"

#include <QCoreApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QFontMetrics>
#include <QHeaderView>
#include <QIdentityProxyModel>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <QTreeView>

namespace ui {

namespace {

// The size, type and date columns of the file dialogs: Qt's model writes them
// in the system's locale, and its translation leaves the types English.
class JapaneseFileColumns final : public QIdentityProxyModel {
public:
    using QIdentityProxyModel::QIdentityProxyModel;
    QVariant data(const QModelIndex& index, int role) const override
    {
        const auto* files = qobject_cast<const QFileSystemModel*>(sourceModel());
        if (role != Qt::DisplayRole || !files || index.column() < 1 || index.column() > 3)
            return QIdentityProxyModel::data(index, role);
        const QFileInfo info = files->fileInfo(mapToSource(index));
        const QLocale japanese(QLocale::Japanese, QLocale::Japan);
        switch (index.column()) {
        case 1:
            return info.isDir() ? QString() : japanese.formattedDataSize(info.size());
        case 2:
            if (info.isRoot())
                return QStringLiteral("ドライブ");
            if (info.isDir())
                return QStringLiteral("ファイル フォルダー");
            return info.suffix().isEmpty() ? QStringLiteral("ファイル")
                                           : info.suffix().toUpper() + QStringLiteral(" ファイル");
        default:
            return japanese.toString(info.lastModified(), QStringLiteral("yyyy/MM/dd HH:mm"));
        }
    }
};

} // namespace

bool installJapanese()
{
    QLocale::setDefault(QLocale(QLocale::Japanese, QLocale::Japan));
    auto* translator = new QTranslator(QCoreApplication::instance());
    if (!translator->load(QStringLiteral("qtbase_ja"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete translator;
        return false;
    }
    return QCoreApplication::installTranslator(translator);
}

void japaneseFileDialog(QFileDialog& dialog)
{
    dialog.setProxyModel(new JapaneseFileColumns(&dialog));
    // Columns wide enough for what they hold at the dialog's font.
    if (auto* list = dialog.findChild<QTreeView*>(QStringLiteral("treeView"))) {
        const QFontMetrics metrics(list->font());
        const int pad = 3 * metrics.averageCharWidth();
        list->header()->resizeSection(1, metrics.horizontalAdvance(QStringLiteral("999.9 MB")) + pad);
        list->header()->resizeSection(2, metrics.horizontalAdvance(QStringLiteral("ファイル フォルダー")) + pad);
        list->header()->resizeSection(3, metrics.horizontalAdvance(QStringLiteral("2026/12/08 13:27")) + pad);
    }
    const QFontMetrics metrics(dialog.font());
    dialog.resize(dialog.size().expandedTo(QSize(metrics.averageCharWidth() * 100, metrics.height() * 28)));
}

QString imageFileFilter()
{
    return QStringLiteral("ディスクイメージ (*.img *.ima *.vfd *.flp *.dsk *.hdm *.xdf *.d88 *.d68 *.d77 *.d98 "
                          "*.88d *.98d *.fdi *.fdd *.nfd *.dcp *.dcu *.dim *.imd *.td0 *.cqm);;すべてのファイル (*)");
}

} // namespace ui
