// The help window.
#include "helpwindow.h"

#include <QDialog>
#include <QFileInfo>
#include <QPointer>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

#include "prompts.h"

namespace ui {

QDialog* showHelpWindow(QWidget* parent, const QString& path)
{
    static QPointer<QDialog> window;
    if (!window) {
        window = new QDialog(parent, Qt::Window);
        window->setObjectName(QStringLiteral("help"));
        window->setAttribute(Qt::WA_DeleteOnClose, parent == nullptr);
        window->resize(640, 480);
        auto* browser = new QTextBrowser(window);
        browser->setObjectName(QStringLiteral("page"));
        browser->setOpenExternalLinks(true);
        auto* layout = new QVBoxLayout(window);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(browser);
    }
    window->setWindowTitle(catalogueText(9999) + QStringLiteral(" ヘルプ"));
    auto* browser = window->findChild<QTextBrowser*>(QStringLiteral("page"));
    if (QFileInfo(path).isFile())
        browser->setSource(QUrl::fromLocalFile(path));
    else
        browser->setPlainText(QStringLiteral("ヘルプファイルが見つかりません: ") + path);
    window->show();
    window->raise();
    window->activateWindow();
    return window;
}

} // namespace ui
