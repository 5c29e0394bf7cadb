// frmSorvane: the program's main window.
#include "frmsorvane.h"

#include <QMdiArea>

#include "text/catalogue.h"

namespace {

QString catalogueText(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

FrmSorvane::FrmSorvane(QWidget* parent)
    : QMainWindow(parent)
    , m_mdiArea(new QMdiArea(this))
{
    setObjectName(QStringLiteral("frmSorvane"));
    setWindowTitle(catalogueText(resSorvane::ResText(9999)));
    setCentralWidget(m_mdiArea);
    resize(800, 600);
}
