// frmSorvane: the program's main window and the pack run.
#include "frmsorvane.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QFontInfo>
#include <QHBoxLayout>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenuBar>
#include <QDialogButtonBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>

#include <cmath>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>

#include "engine/pack_drive.h"
#include "folders/basmkdir.h"
#include "naming/naming.h"
#include "folderlist.h"
#include "frmabout.h"
#include "frmdefault.h"
#include "frmmenumente.h"
#include "frmoption.h"
#include "fonts.h"
#include "panels.h"
#include "platform/platform.h"
#include "prompts.h"

namespace ui {

namespace {

// Geometry of the design, in twips; 15 twips a pixel at 96 dpi.
constexpr int kTwipsPerPixel = 15;
constexpr int kStripHeight = 615 / kTwipsPerPixel;

QString qs(const std::string& text)
{
    return QString::fromStdString(text);
}

// A window whose stored values do not convert fails its load with its own message.
struct LoadFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Geometry key prefixes of the five panels, in panel order.
const char* const kPanelPrefixes[] = {"InDir", "File", "OutDir", "Status", "OutFile"};

} // namespace

bool RunProgress::handler(void* context, unsigned long long done, unsigned long long total, const char* entry)
{
    auto* progress = static_cast<RunProgress*>(context);
    progress->done = done;
    progress->total = total;
    {
        std::lock_guard guard(progress->lock);
        progress->entry = entry ? entry : "";
    }
    return progress->cancel.load();
}

FrmSorvane::FrmSorvane(settings::ProgramSettings& settings, engine::LibrarySet& libraries, RunProgress& progress,
                       Prompts& prompts, QWidget* parent)
    : QMainWindow(parent)
    , m_settings(settings)
    , m_libraries(libraries)
    , m_progress(progress)
    , m_prompts(prompts)
    , m_mdiArea(new QMdiArea)
    , m_memo(twipsPerPixel(logicalDpiX()))
{
    setObjectName(QStringLiteral("frmSorvane"));
    setWindowTitle(catalogueText(9999));

    auto* central = new QWidget(this);
    auto* column = new QVBoxLayout(central);
    column->setContentsMargins(0, 0, 0, 0);
    auto* strip = new QWidget(central);
    strip->setObjectName(QStringLiteral("pnlSorvane"));
    strip->setFixedHeight(kStripHeight);
    auto* row = new QHBoxLayout(strip);
    for (int i = 0; i < 3; ++i) {
        auto* button = new QPushButton(catalogueText(static_cast<std::int16_t>(i + 1)), strip);
        button->setObjectName(QStringLiteral("btnExe%1").arg(i));
        button->setFixedSize(1335 / kTwipsPerPixel, 375 / kTwipsPerPixel);
        connect(button, &QPushButton::clicked, this, [this, i] { btnExe_Click(i); });
        row->addWidget(button);
        m_buttons[static_cast<size_t>(i)] = button;
    }
    row->addStretch();
    column->addWidget(strip);
    column->addWidget(m_mdiArea);
    setCentralWidget(central);

    m_inDir = new MdiInDir;
    m_inDir->setPrompts(&m_prompts);
    m_file = new MdiFile(*m_inDir, m_prompts);
    m_outDir = new MdiOutDir(m_prompts);
    m_status = new MdiStatus(m_prompts);
    m_outFile = new MdiOutFile;
    connect(m_inDir->drives(), &QComboBox::currentIndexChanged, this, [this] { m_file->RefreshForm(); });
    m_inDir->setOnImageAttached([this] {
        m_outDir->drives()->refresh();
        m_file->RefreshForm();
    });
    const std::array<QWidget*, 5> panels{m_inDir, m_file, m_outDir, m_status, m_outFile};
    for (size_t i = 0; i < panels.size(); ++i) {
        m_windows[i] = m_mdiArea->addSubWindow(panels[i], Qt::SubWindow | Qt::WindowTitleHint);
        m_windows[i]->setWindowTitle(panels[i]->windowTitle());
    }
    m_about = new FrmAbout(m_libraries.availability, this);
    m_options = new FrmOption(m_settings, m_libraries.availability.zip, this);
    m_driveDialog = new FrmDefault(false, this);
    m_folderDialog = new FrmDefault(true, this);
    for (FrmDefault* dialog : {m_driveDialog, m_folderDialog}) {
        dialog->sourceDrive = [this] { return m_inDir->DriveName(); };
        dialog->storageFolder = [this] { return m_outDir->DirName(); };
    }
    buildMenus();
    SetFontData();
    SetToolTip(m_settings.Tip);
    try {
        restoreState();
    } catch (const LoadFailure& failure) {
        m_loadError = QString::fromUtf8(failure.what());
    }
    m_status->RefreshForm();
}

namespace {

std::string readKey(const settings::Location& where, const char* key, const std::string& fallback)
{
    return platform::settingsRead(where.application, where.section, key, fallback);
}

void writeKey(const char* key, const std::string& value)
{
    (void)platform::settingsWrite(settings::kApplication, settings::kSection, key, value);
}

// The keys besides its geometry that a window reads at load: they also tell
// that an earlier version's store holds the window's settings.
std::vector<std::string> otherKeysOf(const std::string& prefix)
{
    if (prefix == "InDir")
        return {"Dir_In", "Dir_In_Yuko", "OldDir_In"};
    if (prefix != "OutDir")
        return {};
    std::vector<std::string> keys = {"Dir_Out", "Dir_Out_Yuko", "OldDir_Out"};
    for (char slot = '0'; slot <= '9'; ++slot) {
        keys.push_back(std::string("Dir_Out_DirName") + slot);
        keys.push_back(std::string("Dir_Out_DirDir") + slot);
    }
    return keys;
}

// placeOf: where a window reads its values, chosen by its "_Left" key (or,
// without one, by its other keys in the earlier version's store).
settings::Location placeOf(const std::string& prefix, const char* failure)
{
    const std::optional<settings::Location> where = settings::windowLocation(prefix, otherKeysOf(prefix));
    if (!where)
        throw LoadFailure(failure);
    return *where;
}

// positionOf: one stored position in twips, `fallback` when the key is missing.
float positionOf(const settings::Location& where, const std::string& key, float fallback, const char* failure)
{
    const std::optional<float> value =
        settings::parsePosition(readKey(where, key.c_str(), settings::formatPosition(fallback)));
    if (!value)
        throw LoadFailure(failure);
    return *value;
}

// Load messages of the five panels, in panel order.
const char* const kPanelFailures[] = {"Sorvane2 mdiinDir Form_Load ERR", "Sorvane2 mdiFile Form_Load ERR",
    "Sorvane2 mdiOutDir Form_Load ERR", "Sorvane2 mdiStatus Form_Load ERR", "Sorvane2 mdiOutFile Form_Load ERR"};

// Each panel's designed place in the frame's inner area (twips; left, top,
// width, height): the source drive over the double-height archive name on
// the left, the storage folder, the history and the archive list on the
// right, sized for the frame's default 8000 x 8000.
constexpr float kPanelDesign[5][4] = {{0, 0, 3900, 2200}, {0, 2200, 3900, 4400}, {3900, 0, 3900, 2200},
    {3900, 2200, 3900, 2200}, {3900, 4400, 3900, 2200}};

} // namespace

// A dialog's position (and size) from its keys, 1000 twips and 5000 twips by
// default; a dialog off the screen comes back to 1000. A value that is not a
// number fails the dialog's load with `failure`.
void FrmSorvane::placeDialog(QWidget* dialog, const char* prefix, bool withSize, const char* failure)
{
    const std::string name = prefix;
    const settings::Location where = placeOf(name, failure);
    const double twips = m_memo.scale();
    const QSize screen = this->screen() ? this->screen()->geometry().size() : QSize(1920, 1080);
    float left = positionOf(where, name + "_Left", 1000, failure);
    if (left < 0 || left > screen.width() * twips)
        left = 1000;
    float top = positionOf(where, name + "_Top", 1000, failure);
    if (top < 0 || top > screen.height() * twips)
        top = 1000;
    QSize size = dialog->size();
    if (withSize) {
        size.setWidth(m_memo.pixels(name + "_Width", positionOf(where, name + "_Width", 5000, failure)));
        size.setHeight(m_memo.pixels(name + "_Height", positionOf(where, name + "_Height", 5000, failure)));
    }
    dialog->move(m_memo.pixels(name + "_Left", left), m_memo.pixels(name + "_Top", top));
    if (withSize) {
        dialog->resize(size);
        m_askedSizes[name] = size;
    }
}

void FrmSorvane::writePosition(const std::string& key, int pixels)
{
    writeKey(key.c_str(), settings::formatPosition(m_memo.twips(key, pixels)));
}

void FrmSorvane::storeDialog(QWidget* dialog, const char* prefix, bool withSize)
{
    const std::string name = prefix;
    writePosition(name + "_Left", dialog->x());
    writePosition(name + "_Top", dialog->y());
    if (withSize) {
        // A dialog a large font made grow to fit keeps the size it was given:
        // at its smallest now and larger than asked, it was not the user's doing.
        QSize size = dialog->size();
        if (const auto asked = m_askedSizes.find(name); asked != m_askedSizes.end()) {
            const QSize least = dialog->minimumSize().expandedTo(dialog->minimumSizeHint());
            if (size.width() > asked->second.width() && size.width() <= least.width())
                size.setWidth(asked->second.width());
            if (size.height() > asked->second.height() && size.height() <= least.height())
                size.setHeight(asked->second.height());
        }
        writePosition(name + "_Width", size.width());
        writePosition(name + "_Height", size.height());
    }
}

// One panel's load: its own start-up values, then its place unless the
// panels follow the frame. A panel without stored places takes its designed one.
void FrmSorvane::loadPanel(size_t index)
{
    const std::string prefix = kPanelPrefixes[index];
    const char* failure = kPanelFailures[index];
    const settings::Location where = placeOf(prefix, failure);
    const std::string here = platform::currentFolder();
    if (index == 0) {
        m_dirIn = readKey(where, "Dir_In", here);
        m_dirInInForce = settings::parseBoolean(readKey(where, "Dir_In_Yuko", "True")).value_or(true);
        // Choosing the drive refreshes the archive name panel: only this drive's label is read.
        m_inDir->restoreImage(readKey(where, "OldImage_In", std::string()));
        m_inDir->setDriveName(qs(m_dirInInForce ? m_dirIn : readKey(where, "OldDir_In", here)));
    } else if (index == 2) {
        m_dirOut = readKey(where, "Dir_Out", here);
        m_dirOutInForce = settings::parseBoolean(readKey(where, "Dir_Out_Yuko", "True")).value_or(true);
        const std::string folder = m_dirOutInForce ? m_dirOut : readKey(where, "OldDir_Out", here);
        m_outDir->aliases().load([&](const std::string& key) { return readKey(where, key.c_str(), std::string()); });
        m_outDir->refreshAliasMenu();
        m_outDir->setDirName(qs(platform::isFolder(folder) ? folder : here));
    }
    if (m_settings.Resize)
        return;
    const float* design = kPanelDesign[index];
    const char* const suffixes[] = {"_Left", "_Top", "_Width", "_Height"};
    int place[4];
    for (int i = 0; i < 4; ++i) {
        const std::string key = prefix + suffixes[i];
        place[i] = m_memo.pixels(key, positionOf(where, key, design[i], failure));
    }
    m_windows[index]->setGeometry(place[0], place[1], place[2], place[3]);
}

// The start-up of every window in the frame's order: the five panels, the
// About box, the folder and drive dialogs, the Options and the alias
// maintenance dialogs, then the frame's own geometry. The first window whose
// stored values do not convert ends the load with its message.
void FrmSorvane::restoreState()
{
    for (size_t i = 0; i < m_windows.size(); ++i)
        loadPanel(i);

    // The About box empties its library lines instead of failing the start.
    try {
        placeDialog(m_about, "About", false, "");
    } catch (const LoadFailure&) {
        m_about->clearLibraryLines();
    }
    placeDialog(m_folderDialog, "Default", true, "Sorvane2 frmDefault Form_Load ERR");
    placeDialog(m_driveDialog, "DefaultDrive", true, "Sorvane2 frmDefaultDrive Form_Load ERR");
    placeDialog(m_options, "Option", false, "Sorvane2 frmOption Form_Load ERR");
    placeDialog(m_outDir->menuMente(), "MenuMente", false, "frmMenuMente Form_Load ERR");

    // Frame geometry in twips; a frame off the screen or too small comes back.
    const char* failure = "Sorvane2 frmSorvane MDIForm_Load ERR";
    const settings::Location main = placeOf("Main", failure);
    const double twips = m_memo.scale();
    const QSize screen = this->screen() ? this->screen()->geometry().size() : QSize(1920, 1080);
    float left = positionOf(main, "Main_Left", 1000, failure), top = positionOf(main, "Main_Top", 1000, failure);
    float width = positionOf(main, "Main_Width", 8000, failure), height = positionOf(main, "Main_Height", 8000, failure);
    if (left < 0 || left > screen.width() * twips)
        left = 1000;
    if (top < 0 || top > screen.height() * twips)
        top = 1000;
    if (width < 2000)
        width = 8000;
    if (height < 500)
        height = 8000;
    setGeometry(m_memo.pixels("Main_Left", left), m_memo.pixels("Main_Top", top), m_memo.pixels("Main_Width", width),
        m_memo.pixels("Main_Height", height));
    const auto stored = settings::parseInteger(readKey(main, "Main_WindowState", "0"));
    if (!stored)
        throw LoadFailure(failure);
    const auto state = *stored;
    if (state == 1)
        setWindowState(Qt::WindowMinimized);
    else if (state == 2)
        setWindowState(Qt::WindowMaximized);
}

// What the panels and the frame write when the program closes.
void FrmSorvane::saveState()
{
    writeKey("Dir_In", m_dirIn);
    writeKey("Dir_In_Yuko", settings::formatBoolean(m_dirInInForce));
    writeKey("OldDir_In", m_inDir->DriveName().toStdString());
    writeKey("OldImage_In", platform::attachedImage());
    writeKey("Dir_Out", m_dirOut);
    writeKey("Dir_Out_Yuko", settings::formatBoolean(m_dirOutInForce));
    writeKey("OldDir_Out", m_outDir->DirName().toStdString());
    m_outDir->aliases().save([](const std::string& key, const std::string& value) { writeKey(key.c_str(), value); });
    const int state = isMinimized() ? 1 : isMaximized() ? 2 : 0;
    if (state == 0 && !m_settings.Resize) {
        for (size_t i = 0; i < m_windows.size(); ++i) {
            const std::string prefix = kPanelPrefixes[i];
            const QRect place = m_windows[i]->geometry();
            writePosition(prefix + "_Left", place.left());
            writePosition(prefix + "_Top", place.top());
            writePosition(prefix + "_Width", place.width());
            writePosition(prefix + "_Height", place.height());
        }
    }
    storeDialog(m_about, "About", false);
    storeDialog(m_folderDialog, "Default", true);
    storeDialog(m_driveDialog, "DefaultDrive", true);
    storeDialog(m_options, "Option", false);
    storeDialog(m_outDir->menuMente(), "MenuMente", false);
    writeKey("Main_WindowState", std::to_string(state));
    if (state == 0) {
        const QRect frame = geometry();
        writePosition("Main_Left", frame.left());
        writePosition("Main_Top", frame.top());
        writePosition("Main_Width", frame.width());
        writePosition("Main_Height", frame.height());
    }
}

void FrmSorvane::buildMenus()
{
    QMenuBar* bar = menuBar();
    bar->addAction(QStringLiteral("E(&x)it"), this, &QWidget::close);
    bar->addAction(QStringLiteral("Fon(&t)"), this, &FrmSorvane::mnuFont_Click);
    QMenu* log = bar->addMenu(QStringLiteral("(&L)og"));
    log->addAction(QStringLiteral("Log(&C)opy"), this, [this] { m_status->LogCopy(); });
    log->addAction(QStringLiteral("Log(&S)ave"), this, [this] { m_status->LogSave(); });
    QMenu* defaults = bar->addMenu(QStringLiteral("(&D)efault"));
    defaults->addAction(QStringLiteral("InDirDefault"), this, &FrmSorvane::mnuInDirDefault_Click);
    defaults->addAction(QStringLiteral("OutDirDefault"), this, &FrmSorvane::mnuOutDirDefault_Click);
    defaults->addAction(QStringLiteral("TmpDirDefault"), this, &FrmSorvane::mnuTmpDirDefault_Click);
    bar->addAction(QStringLiteral("(&O)ption"), this, &FrmSorvane::mnuOption_Click);
    bar->addAction(QStringLiteral("M(&k)dir"), this, &FrmSorvane::mnuMkdir_Click);
    bar->addAction(QStringLiteral("(&H)elp"), this, &FrmSorvane::mnuHelp_Click);
    bar->addAction(QStringLiteral("(&A)bout"), this, &FrmSorvane::mnuAbout_Click);
}

void FrmSorvane::SetToolTip(bool on)
{
    for (int i = 0; i < 3; ++i)
        m_buttons[static_cast<size_t>(i)]->setToolTip(on ? catalogueText(static_cast<std::int16_t>(6 + i)) : QString());
    // Every panel control that has a tooltip keeps its text in a property.
    for (QMdiSubWindow* window : m_windows) {
        for (QWidget* widget : window->widget()->findChildren<QWidget*>()) {
            const QVariant text = widget->property("tip");
            if (!text.isValid())
                widget->setProperty("tip", widget->toolTip());
            widget->setToolTip(on ? widget->property("tip").toString() : QString());
        }
    }
}

void FrmSorvane::SetFontData()
{
    const QFont font = programFont(m_settings);
    // The buttons keep their designed size unless the font needs more; the
    // strip grows with them.
    const QSize design(1335 / kTwipsPerPixel, 375 / kTwipsPerPixel);
    QSize button = design;
    for (QPushButton* each : m_buttons) {
        each->setFont(font);
        button = button.expandedTo(each->sizeHint());
    }
    for (QPushButton* each : m_buttons)
        each->setFixedSize(button);
    if (auto* strip = findChild<QWidget*>(QStringLiteral("pnlSorvane")))
        strip->setFixedHeight(kStripHeight + button.height() - design.height());
    for (QMdiSubWindow* window : m_windows)
        window->widget()->setFont(font);
    keepPanelsUsable();
    // The dialogs take it too; the alias maintenance dialog keeps the font it was made with.
    for (QWidget* dialog : std::initializer_list<QWidget*>{m_about, m_folderDialog, m_driveDialog, m_options})
        dialog->setFont(font);
    arrange();
}

void FrmSorvane::mnuFont_Click()
{
    // The dialog lists installed faces only, so a stored Windows face name
    // ("ＭＳ 明朝") opens as the face that stands for it; taking that face
    // back unchanged is no change.
    QFont font = programFont(m_settings);
    const QString shown = QFontInfo(font).family();
    font.setFamily(shown);
    if (!m_prompts.chooseFont(this, font))
        return;
    const auto size = static_cast<std::int16_t>(std::lround(font.pointSizeF()));
    if (font.family() == shown && font.pointSizeF() == static_cast<double>(m_settings.Font_Size)
        && font.bold() == m_settings.Font_Bold && font.italic() == m_settings.Font_Italic)
        return; // unchanged: nothing is refreshed, nothing is stored
    m_settings.Font_Name = font.family() == shown ? m_settings.Font_Name : font.family().toStdString();
    m_settings.Font_Size = size;
    m_settings.Font_Bold = font.bold();
    m_settings.Font_Italic = font.italic();
    SetFontData();
}

void FrmSorvane::mnuAbout_Click()
{
    m_prompts.runModal(*m_about);
}

void FrmSorvane::mnuOption_Click()
{
    m_options->prepare();
    m_options->setResult(QDialog::Rejected);
    m_prompts.runModal(*m_options);
    if (m_options->result() == QDialog::Accepted && m_options->ApplyOptions())
        SetToolTip(m_settings.Tip);
}

void FrmSorvane::mnuInDirDefault_Click()
{
    FrmDefault& dialog = *m_driveDialog;
    dialog.pstr_lblDrive_Caption = catalogueText(10000);
    dialog.pstr_cbxDrive_Hint = catalogueText(10020);
    dialog.pblnYukoMukouOk = true;
    dialog.pstr_drvDrive_Hint = catalogueText(10021);
    dialog.showTips = m_settings.Tip;
    dialog.setDriveName(qs(m_dirIn));
    dialog.setYuko(m_dirInInForce);
    m_prompts.runModal(dialog);
    if (!dialog.pblnOk)
        return;
    m_dirIn = dialog.DriveName().toStdString();
    m_dirInInForce = dialog.Yuko();
}

void FrmSorvane::mnuOutDirDefault_Click()
{
    FrmDefault& dialog = *m_folderDialog;
    dialog.pstr_lblDrive_Caption = catalogueText(10001);
    dialog.pstr_cbxDrive_Hint = catalogueText(10040);
    dialog.pblnYukoMukouOk = true;
    dialog.pblnDiskFreeOk = true;
    dialog.pstr_drvDrive_Hint = catalogueText(10041);
    dialog.pstr_dlbDir_Hint = catalogueText(10042);
    dialog.pstr_txtDir_Hint = catalogueText(10043);
    dialog.showTips = m_settings.Tip;
    dialog.setDirName(qs(m_dirOut));
    dialog.setYuko(m_dirOutInForce);
    m_prompts.runModal(dialog);
    if (!dialog.pblnOk)
        return;
    m_dirOut = dialog.DirName().toStdString();
    m_dirOutInForce = dialog.Yuko();
}

void FrmSorvane::mnuTmpDirDefault_Click()
{
    FrmDefault& dialog = *m_folderDialog;
    dialog.pstr_lblDrive_Caption = catalogueText(10002);
    dialog.pstr_cbxDrive_Hint = catalogueText(10060);
    dialog.pblnYukoMukouOk = false;
    dialog.pblnDiskFreeOk = true;
    dialog.pstr_drvDrive_Hint = catalogueText(10061);
    dialog.pstr_dlbDir_Hint = catalogueText(10062);
    dialog.pstr_txtDir_Hint = catalogueText(10063);
    dialog.showTips = m_settings.Tip;
    dialog.setDirName(qs(m_settings.TmpDir));
    dialog.setYuko(true);
    m_prompts.runModal(dialog);
    if (dialog.pblnOk)
        m_settings.TmpDir = dialog.DirName().toStdString();
}

void FrmSorvane::mnuMkdir_Click()
{
    struct Adapter : basMkdir::FolderPrompts {
        FrmSorvane* frame;
        std::optional<std::string> askText(const std::string& prompt, const std::string& title) override
        {
            const QString text = frame->m_prompts.inputText(frame, qs(prompt), qs(title));
            if (text.isNull())
                return std::nullopt;
            return text.toStdString();
        }
        void message(const std::string& text) override { frame->m_prompts.message(frame, qs(text)); }
    } adapter;
    adapter.frame = this;
    const std::string path = basMkdir::CreateFolder(m_outDir->DirName().toStdString(), adapter);
    if (path.empty())
        return;
    m_outDir->setDirName(qs(path));
    m_inDir->RefreshForm();
}

void FrmSorvane::mnuHelp_Click()
{
    m_prompts.openHelp(this, QString::fromStdString(platform::programFile("Sorvane2.html")));
}

void FrmSorvane::arrange()
{
    if (!m_settings.Resize)
        return;
    const QSize area = m_mdiArea->viewport()->size();
    const int w2 = area.width() / 2;
    const int h3 = area.height() / 3;
    const QRect places[] = {{0, 0, w2, h3}, {0, h3, w2, 2 * h3}, {w2, 0, w2, h3}, {w2, h3, w2, h3}, {w2, 2 * h3, w2, h3}};
    for (size_t i = 0; i < m_windows.size(); ++i)
        m_windows[i]->setGeometry(places[i]);
}

// The frame cannot shrink below what keeps every panel of the grid usable:
// each panel at least its smallest workable size, the history and archive
// list a few lines.
void FrmSorvane::keepPanelsUsable()
{
    int width = 0;
    int row = 0;
    for (size_t i = 0; i < m_windows.size(); ++i) {
        const QSize least = m_windows[i]->minimumSizeHint();
        width = std::max(width, least.width());
        // The archive name panel spans two rows of the grid.
        row = std::max(row, i == 1 ? (least.height() + 1) / 2 : least.height());
    }
    const int frame = 2 * m_mdiArea->frameWidth();
    m_mdiArea->setMinimumSize(2 * width + frame, 3 * row + frame);
}

void FrmSorvane::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    arrange();
}

void FrmSorvane::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (m_activated)
        return;
    m_activated = true;
    arrange();
    for (QMdiSubWindow* window : m_windows)
        window->show();
    m_inDir->drives()->setFocus();
}

void FrmSorvane::closeEvent(QCloseEvent* event)
{
    if (m_running) {
        event->ignore(); // never in the middle of a run
        return;
    }
    saveState();
    event->accept();
}

void FrmSorvane::lock(bool locked)
{
    for (QPushButton* button : m_buttons)
        button->setEnabled(!locked);
    for (QMdiSubWindow* window : m_windows)
        window->widget()->setEnabled(!locked);
    menuBar()->setEnabled(!locked);
}

namespace {

// A library whose calls mark themselves in the run's progress: the progress
// window shows only while one of them runs.
class MarkedLibrary final : public engine::ArchiverLibrary {
public:
    MarkedLibrary(std::shared_ptr<engine::ArchiverLibrary> inner, RunProgress& progress)
        : m_inner(std::move(inner))
        , m_progress(progress)
    {
    }
    int command(const std::string& commandLine) override
    {
        struct Mark {
            std::atomic<bool>& flag;
            explicit Mark(std::atomic<bool>& f) : flag(f) { flag = true; }
            ~Mark() { flag = false; }
        } mark(m_progress.inCall);
        return m_inner->command(commandLine);
    }
    bool running() override { return m_inner->running(); }
    std::int16_t version() override { return m_inner->version(); }
    std::string report() const override { return m_inner->report(); }

private:
    std::shared_ptr<engine::ArchiverLibrary> m_inner;
    RunProgress& m_progress;
};

// How long a library call runs before its progress window appears: short
// calls (a small floppy) pass without a window flashing up.
constexpr int kProgressDelayMs = 300;

} // namespace

QPoint progressPlace(const QRect& frame, const QRect& history, const QSize& size, const QRect& screen)
{
    // Inside the frame's corners first (a message box of the run comes up in
    // its middle), then beside the frame; the first that shows whole and
    // leaves the history free.
    const int gap = 8;
    const QPoint corners[] = {
        {frame.right() - size.width() - gap, frame.top() + gap * 6},
        {frame.left() + gap, frame.top() + gap * 6},
        {frame.left() + gap, frame.bottom() - size.height() - gap},
        {frame.right() - size.width() - gap, frame.bottom() - size.height() - gap},
        {frame.right() + gap, frame.top()},
        {frame.left() - size.width() - gap, frame.top()},
        {frame.left(), frame.bottom() + gap},
        {frame.left(), frame.top() - size.height() - gap},
    };
    for (const QPoint& corner : corners) {
        const QRect place(corner, size);
        if ((screen.isEmpty() || screen.contains(place)) && !place.intersects(history))
            return corner;
    }
    return screen.isEmpty() ? frame.topLeft() : screen.topLeft();
}

namespace {

// The progress window of a run: the bytes done, the entry at work and
// Cancel. It shows and hides only when told to; Cancel, Esc and its close
// button ask the library call to stop, and the window goes when the call ends.
class ProgressWindow final : public QDialog {
public:
    ProgressWindow(QWidget* parent, std::function<void()> cancel)
        : QDialog(parent)
        , m_cancel(std::move(cancel))
        , m_label(new QLabel(this))
        , m_bar(new QProgressBar(this))
    {
        setObjectName(QStringLiteral("progress"));
        setWindowTitle(catalogueText(9999));
        m_bar->setRange(0, 1000);
        auto* buttons = new QDialogButtonBox(QDialogButtonBox::Cancel, this);
        connect(buttons, &QDialogButtonBox::rejected, this, [this] { reject(); });
        auto* column = new QVBoxLayout(this);
        column->addWidget(m_label);
        column->addWidget(m_bar);
        column->addWidget(buttons);
        setMinimumWidth(360);
    }
    void showProgress(const QString& text, int permille)
    {
        m_label->setText(text);
        m_bar->setRange(0, 1000);
        m_bar->setValue(permille);
    }
    void showBusy(const QString& entry)
    {
        m_label->setText(entry);
        m_bar->setRange(0, 0);
    }
    void reject() override { m_cancel(); }

private:
    std::function<void()> m_cancel;
    QLabel* m_label;
    QProgressBar* m_bar;
};

} // namespace

// Runs PackDrive in a worker thread; the window keeps repainting and shows
// the library's progress with a Cancel button while a library call runs.
// Sinks and message boxes come back to this thread; a message box of the
// run first takes the progress window away, so nothing ever hides it.
std::int16_t FrmSorvane::runEngine(const std::string& root, const std::string& name, const std::string& folder, int mode)
{
    m_progress.done = 0;
    m_progress.total = 0;
    m_progress.cancel = false;
    m_progress.inCall = false;
    ProgressWindow dialog(this, [this] { requestCancel(); });

    struct Forward : engine::HistorySink, engine::ArchiveListSink, engine::MessageBoxes {
        FrmSorvane* frame;
        QDialog* progress;
        bool archives = false;
        void ListInAdd(const std::string& line) override
        {
            const QString text = qs(line);
            QMetaObject::invokeMethod(frame, [this, text] {
                if (archives)
                    frame->m_outFile->ListInAdd(text);
                else
                    frame->m_status->ListInAdd(text);
            }, Qt::BlockingQueuedConnection);
        }
        void show(const std::string& text) override
        {
            const QString message = qs(text);
            QMetaObject::invokeMethod(frame, [this, message] {
                progress->hide();
                frame->m_prompts.message(frame, message);
            }, Qt::BlockingQueuedConnection);
        }
    };
    Forward history;
    history.frame = this;
    history.progress = &dialog;
    Forward archives;
    archives.frame = this;
    archives.progress = &dialog;
    archives.archives = true;

    engine::PackSettings pack;
    pack.TmpDir = m_settings.TmpDir;
    pack.Lzh_Option = m_settings.Lzh_Option;
    pack.SubDir = m_settings.SubDir;
    pack.Hiddn = m_settings.Hiddn;
    pack.UCase = m_settings.UCase;
    pack.Double = m_settings.Double;
    pack.Pattern = m_settings.Pattern;
    pack.AshukuExe = m_settings.AshukuExe;
    engine::LibrarySet libraries = m_libraries;
    for (std::shared_ptr<engine::ArchiverLibrary>* slot : {&libraries.lzh, &libraries.zip, &libraries.unzip})
        if (*slot)
            *slot = std::make_shared<MarkedLibrary>(*slot, m_progress);

    // The window appears once a library call has run for a moment and goes
    // as soon as no call runs.
    QElapsedTimer callTime;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, this, [&] {
        if (!m_progress.inCall) {
            callTime.invalidate();
            dialog.hide();
            return;
        }
        if (!callTime.isValid())
            callTime.start();
        const unsigned long long total = m_progress.total;
        const unsigned long long done = m_progress.done;
        QString entry;
        {
            std::lock_guard guard(m_progress.lock);
            entry = qs(m_progress.entry);
        }
        // Until the module has counted what it packs there are no figures to
        // show: the entry it looks at, and a busy bar.
        if (total == 0)
            dialog.showBusy(entry);
        else
            dialog.showProgress(QStringLiteral("%1 / %2 MB\n%3")
                                    .arg(static_cast<double>(done) / 1e6, 0, 'f', 1)
                                    .arg(static_cast<double>(total) / 1e6, 0, 'f', 1)
                                    .arg(entry),
                static_cast<int>(std::min(done, total) * 1000 / total));
        if (!dialog.isVisible() && callTime.elapsed() >= kProgressDelayMs) {
            dialog.adjustSize();
            dialog.move(progressPlace(frameGeometry(), m_windows[3]->isVisible()
                    ? QRect(m_windows[3]->mapToGlobal(QPoint(0, 0)), m_windows[3]->size()) : QRect(),
                dialog.frameGeometry().size(), screen() ? screen()->availableGeometry() : QRect()));
            dialog.show();
        }
    });
    ticker.start(100);

    std::int16_t outcome = 1;
    QEventLoop loop;
    std::thread worker([&] {
        engine::Engine engine(pack, libraries, history, archives, history);
        outcome = engine.PackDrive(root, name, folder, static_cast<std::int16_t>(mode));
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
    ticker.stop();
    dialog.hide();
    return outcome;
}

void FrmSorvane::btnExe_Click(int index)
{
    if (m_running)
        return;
    // A queue of images in the chosen drive: one run for each of them.
    const std::string attached = platform::attachedImage();
    const QString chosen = m_inDir->DriveName();
    const std::optional<platform::Drive> chosenDrive =
        chosen.isEmpty() ? std::nullopt : platform::findDrive(chosen.at(0).toLatin1());
    if (m_inDir->imageQueue().size() > 1 && chosenDrive && !attached.empty() && chosenDrive->image == attached) {
        runQueue(index);
        return;
    }
    m_running = true;
    lock(true);
    m_status->RefreshForm();
    const QString folder = m_outDir->DirName();
    const QString drive = m_inDir->DriveName();
    const char before = platform::currentDrive();
    const char letter = drive.isEmpty() ? 0 : drive.at(0).toLatin1();
    const platform::Result<void> entered =
        letter ? platform::changeDrive(letter) : platform::Result<void>(platform::Error{ENOMEDIUM, ""});
    if (!entered) {
        // A damaged image says which image and what is wrong with it.
        const std::optional<platform::Drive> chosen = platform::findDrive(letter);
        m_prompts.message(this, chosen && !chosen->image.empty()
                ? catalogueText(301) + QStringLiteral("\n") + qs(entered.error().message)
                : catalogueText(301));
    } else {
        const QString name = m_file->File_Name();
        if (name.isEmpty()) {
            m_prompts.message(this, catalogueText(300));
        } else if (m_file->labelOption()->isChecked() && !naming::usableAsFileName(name.toStdString())) {
            m_prompts.message(this, catalogueText(20206) + QStringLiteral("\n「") + name + QStringLiteral("」"));
        } else {
            const std::int16_t outcome = runEngine(m_inDir->DriveName().toStdString() + "\\",
                m_file->File_Name().toStdString(), folder.toStdString(), index);
            if (outcome == 0) {
                m_status->ListInAdd(seriesText(31));
                m_file->FIleCountUp();
            } else {
                m_status->ListInAdd(seriesText(30));
            }
        }
    }
    (void)platform::changeDrive(before);
    lock(false);
    m_running = false;
    m_buttons[static_cast<size_t>(index)]->setFocus();
}

void FrmSorvane::runQueue(int index)
{
    // One typed name for every image would pack them all into one archive.
    if (m_file->fileOption()->isChecked() && !m_file->autoCount()->isChecked()) {
        m_prompts.message(this, catalogueText(20212));
        return;
    }
    m_running = true;
    lock(true);
    m_status->RefreshForm();
    m_progress.cancel = false;
    const QStringList images = m_inDir->imageQueue();
    const QString folder = m_outDir->DirName();
    const char before = platform::currentDrive();
    int packed = 0;
    QStringList failed;
    for (int i = 0; i < images.size(); ++i) {
        const QString image = images.at(i);
        const QString shortName = QFileInfo(image).fileName();
        // The run's first line names the image.
        m_status->ListInAdd(QStringLiteral("[%1/%2] %3").arg(i + 1).arg(images.size()).arg(image));
        // The images a stopped queue leaves unpacked, by their file names.
        auto leaveTheRest = [&] {
            for (int rest = i + 1; rest < images.size(); ++rest)
                failed << QFileInfo(images.at(rest)).fileName();
        };
        auto skip = [&](const QString& why) {
            m_status->ListInAdd(QChar(0x3000) + why);
            m_status->ListInAdd(seriesText(30));
            failed << shortName;
        };
        if (const QString problem = m_inDir->showQueued(i); !problem.isEmpty()) {
            skip(problem);
            continue;
        }
        const QString drive = m_inDir->DriveName();
        const char letter = drive.isEmpty() ? 0 : drive.at(0).toLatin1();
        if (const platform::Result<void> entered = letter ? platform::changeDrive(letter)
                : platform::Result<void>(platform::Error{ENOMEDIUM, "no drive"});
            !entered) {
            skip(catalogueText(301) + QLatin1Char(' ') + qs(entered.error().message));
            continue;
        }
        const QString name = m_file->File_Name();
        if (name.isEmpty()) {
            skip(catalogueText(300));
            continue;
        }
        if (m_file->labelOption()->isChecked() && !naming::usableAsFileName(name.toStdString())) {
            skip(catalogueText(20206) + QStringLiteral("「") + name + QStringLiteral("」"));
            continue;
        }
        const std::int16_t outcome = runEngine(drive.toStdString() + "\\", name.toStdString(), folder.toStdString(), index);
        if (outcome == 0) {
            m_status->ListInAdd(seriesText(31));
            ++packed;
            // A name that cannot count on would give the next image this one's archive.
            if (!m_file->FIleCountUp()) {
                leaveTheRest();
                break;
            }
        } else {
            m_status->ListInAdd(seriesText(30));
            failed << shortName;
        }
        // Cancel ends the queue with the image it stopped.
        if (m_progress.cancel) {
            leaveTheRest();
            break;
        }
    }
    m_status->ListInAdd(catalogueText(20210) + QStringLiteral("%1/%2").arg(packed).arg(images.size()));
    if (!failed.isEmpty())
        m_status->ListInAdd(catalogueText(20211) + failed.join(QLatin1Char(' ')));
    (void)platform::changeDrive(before);
    lock(false);
    m_running = false;
    m_buttons[static_cast<size_t>(index)]->setFocus();
}

} // namespace ui
