// frmSorvane: the program's main window and the pack run.
#include "frmsorvane.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QComboBox>
#include <QEventLoop>
#include <QHBoxLayout>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenuBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>

#include <stdexcept>
#include <thread>

#include "engine/pack_drive.h"
#include "folders/basmkdir.h"
#include "frmabout.h"
#include "frmdefault.h"
#include "frmmenumente.h"
#include "frmoption.h"
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
    const std::array<QWidget*, 5> panels{m_inDir, m_file, m_outDir, m_status, m_outFile};
    for (size_t i = 0; i < panels.size(); ++i) {
        m_windows[i] = m_mdiArea->addSubWindow(panels[i], Qt::SubWindow | Qt::WindowTitleHint);
        m_windows[i]->setWindowTitle(panels[i]->windowTitle());
    }
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
    } catch (const std::exception& failure) {
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

} // namespace

// A dialog's position (and size) from its keys, 1000 twips and 5000 twips by
// default; a dialog off the screen comes back to 1000.
void FrmSorvane::placeDialog(QWidget* dialog, const char* prefix, bool withSize)
{
    const settings::Location where =
        settings::windowLocation(prefix).value_or(settings::Location{settings::kApplication});
    const std::string name = prefix;
    auto value = [&](const char* suffix, float fallback) {
        return settings::parsePosition(readKey(where, (name + suffix).c_str(), settings::formatPosition(fallback)))
            .value_or(fallback);
    };
    const double twips = 1440.0 / (logicalDpiX() > 0 ? logicalDpiX() : 96);
    const QSize screen = this->screen() ? this->screen()->geometry().size() : QSize(1920, 1080);
    float left = value("_Left", 1000), top = value("_Top", 1000);
    if (left < 0 || left > screen.width() * twips)
        left = 1000;
    if (top < 0 || top > screen.height() * twips)
        top = 1000;
    dialog->move(static_cast<int>(left / twips), static_cast<int>(top / twips));
    if (withSize)
        dialog->resize(static_cast<int>(value("_Width", 5000) / twips), static_cast<int>(value("_Height", 5000) / twips));
}

void FrmSorvane::storeDialog(QWidget* dialog, const char* prefix, bool withSize)
{
    const double twips = 1440.0 / (logicalDpiX() > 0 ? logicalDpiX() : 96);
    const std::string name = prefix;
    writeKey((name + "_Left").c_str(), settings::formatPosition(static_cast<float>(dialog->x() * twips)));
    writeKey((name + "_Top").c_str(), settings::formatPosition(static_cast<float>(dialog->y() * twips)));
    if (withSize) {
        writeKey((name + "_Width").c_str(), settings::formatPosition(static_cast<float>(dialog->width() * twips)));
        writeKey((name + "_Height").c_str(), settings::formatPosition(static_cast<float>(dialog->height() * twips)));
    }
}

// The start-up drive and folder and the frame's geometry, each group from
// the location its own "_Left" key chooses.
void FrmSorvane::restoreState()
{
    const std::string here = platform::currentFolder();
    const settings::Location inDir = settings::windowLocation("InDir").value_or(settings::Location{settings::kApplication});
    m_dirIn = readKey(inDir, "Dir_In", here);
    m_dirInInForce = settings::parseBoolean(readKey(inDir, "Dir_In_Yuko", "True")).value_or(true);
    m_inDir->restoreImage(readKey(inDir, "OldImage_In", std::string()));
    m_inDir->setDriveName(qs(m_dirInInForce ? m_dirIn : readKey(inDir, "OldDir_In", here)));
    m_file->RefreshForm();

    const settings::Location outDir = settings::windowLocation("OutDir").value_or(settings::Location{settings::kApplication});
    m_dirOut = readKey(outDir, "Dir_Out", here);
    m_dirOutInForce = settings::parseBoolean(readKey(outDir, "Dir_Out_Yuko", "True")).value_or(true);
    const std::string folder = m_dirOutInForce ? m_dirOut : readKey(outDir, "OldDir_Out", here);
    m_outDir->aliases().load([&](const std::string& key) { return readKey(outDir, key.c_str(), std::string()); });
    m_outDir->refreshAliasMenu();
    m_outDir->setDirName(qs(platform::isFolder(folder) ? folder : here));

    // Each panel where it was left, unless the panels follow the frame.
    if (!m_settings.Resize) {
        for (size_t i = 0; i < m_windows.size(); ++i) {
            const std::string prefix = kPanelPrefixes[i];
            const auto where = settings::windowLocation(prefix).value_or(settings::Location{settings::kApplication});
            const double scale = 1440.0 / (logicalDpiX() > 0 ? logicalDpiX() : 96);
            const QRect now = m_windows[i]->geometry();
            auto key = [&](const char* suffix, int current) {
                const float fallback = static_cast<float>(current * scale);
                const auto value = settings::parsePosition(
                    readKey(where, (prefix + suffix).c_str(), settings::formatPosition(fallback)));
                if (!value) // a stored position that is not a number fails the panel's load
                    throw std::runtime_error(std::string(i == 0 ? "Sorvane2 mdiinDir" : i == 1 ? "Sorvane2 mdiFile"
                            : i == 2 ? "Sorvane2 mdiOutDir" : i == 3 ? "Sorvane2 mdiStatus" : "Sorvane2 mdiOutFile")
                        + " Form_Load ERR");
                return static_cast<int>(*value / scale);
            };
            m_windows[i]->setGeometry(key("_Left", now.left()), key("_Top", now.top()), key("_Width", now.width()),
                key("_Height", now.height()));
        }
    }

    // The dialogs where they were left; a dialog off the screen comes back.
    placeDialog(m_options, "Option", false);
    placeDialog(m_driveDialog, "DefaultDrive", true);
    placeDialog(m_folderDialog, "Default", true);
    placeDialog(m_outDir->menuMente(), "MenuMente", false);
    {
        QDialog about;
        placeDialog(&about, "About", false);
        m_aboutPlace = about.pos();
    }

    // Frame geometry in twips; a frame off the screen or too small comes back.
    const settings::Location main = settings::windowLocation("Main").value_or(settings::Location{settings::kApplication});
    auto position = [&](const char* key, float fallback) {
        const auto value = settings::parsePosition(readKey(main, key, settings::formatPosition(fallback)));
        if (!value)
            throw std::runtime_error("Sorvane2 frmSorvane MDIForm_Load ERR");
        return *value;
    };
    const double twips = 1440.0 / (logicalDpiX() > 0 ? logicalDpiX() : 96);
    const QSize screen = this->screen() ? this->screen()->geometry().size() : QSize(1920, 1080);
    float left = position("Main_Left", 1000), top = position("Main_Top", 1000);
    float width = position("Main_Width", 8000), height = position("Main_Height", 8000);
    if (left < 0 || left > screen.width() * twips)
        left = 1000;
    if (top < 0 || top > screen.height() * twips)
        top = 1000;
    if (width < 2000)
        width = 8000;
    if (height < 500)
        height = 8000;
    setGeometry(static_cast<int>(left / twips), static_cast<int>(top / twips), static_cast<int>(width / twips),
        static_cast<int>(height / twips));
    const auto stored = settings::parseInteger(readKey(main, "Main_WindowState", "0"));
    if (!stored)
        throw std::runtime_error("Sorvane2 frmSorvane MDIForm_Load ERR");
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
        const double scale = 1440.0 / (logicalDpiX() > 0 ? logicalDpiX() : 96);
        for (size_t i = 0; i < m_windows.size(); ++i) {
            const std::string prefix = kPanelPrefixes[i];
            const QRect place = m_windows[i]->geometry();
            writeKey((prefix + "_Left").c_str(), settings::formatPosition(static_cast<float>(place.left() * scale)));
            writeKey((prefix + "_Top").c_str(), settings::formatPosition(static_cast<float>(place.top() * scale)));
            writeKey((prefix + "_Width").c_str(), settings::formatPosition(static_cast<float>(place.width() * scale)));
            writeKey((prefix + "_Height").c_str(), settings::formatPosition(static_cast<float>(place.height() * scale)));
        }
    }
    storeDialog(m_options, "Option", false);
    storeDialog(m_driveDialog, "DefaultDrive", true);
    storeDialog(m_folderDialog, "Default", true);
    storeDialog(m_outDir->menuMente(), "MenuMente", false);
    {
        QDialog about;
        about.move(m_aboutPlace);
        storeDialog(&about, "About", false);
    }
    writeKey("Main_WindowState", std::to_string(state));
    if (state == 0) {
        const double twips = 1440.0 / (logicalDpiX() > 0 ? logicalDpiX() : 96);
        const QRect frame = geometry();
        writeKey("Main_Left", settings::formatPosition(static_cast<float>(frame.left() * twips)));
        writeKey("Main_Top", settings::formatPosition(static_cast<float>(frame.top() * twips)));
        writeKey("Main_Width", settings::formatPosition(static_cast<float>(frame.width() * twips)));
        writeKey("Main_Height", settings::formatPosition(static_cast<float>(frame.height() * twips)));
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
    bar->addAction(QStringLiteral("(&A)bout"), this, [this] {
        FrmAbout about(m_libraries.availability, this);
        about.move(m_aboutPlace);
        m_prompts.runModal(about);
        m_aboutPlace = about.pos();
    });
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
    QFont font(QString::fromStdString(m_settings.Font_Name), m_settings.Font_Size > 0 ? m_settings.Font_Size : 10);
    font.setBold(m_settings.Font_Bold);
    font.setItalic(m_settings.Font_Italic);
    for (QPushButton* button : m_buttons)
        button->setFont(font);
    for (QMdiSubWindow* window : m_windows)
        window->widget()->setFont(font);
    arrange();
}

void FrmSorvane::mnuFont_Click()
{
    QFont font(QString::fromStdString(m_settings.Font_Name), m_settings.Font_Size);
    font.setBold(m_settings.Font_Bold);
    font.setItalic(m_settings.Font_Italic);
    if (!m_prompts.chooseFont(this, font))
        return;
    const std::string name = font.family().toStdString();
    const auto size = static_cast<std::int16_t>(font.pointSizeF() + 0.5);
    if (name == m_settings.Font_Name && size == m_settings.Font_Size && font.bold() == m_settings.Font_Bold
        && font.italic() == m_settings.Font_Italic)
        return; // unchanged: nothing is refreshed
    m_settings.Font_Name = name;
    m_settings.Font_Size = size;
    m_settings.Font_Bold = font.bold();
    m_settings.Font_Italic = font.italic();
    SetFontData();
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
    QString folder = QCoreApplication::applicationDirPath();
    m_prompts.openHelp(folder + QStringLiteral("/Sorvane2.html"));
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

// Runs PackDrive in a worker thread; the window keeps repainting and shows
// the library's progress with a Cancel button. Sinks and message boxes come
// back to this thread.
std::int16_t FrmSorvane::runEngine(const std::string& root, const std::string& name, const std::string& folder, int mode)
{
    struct Forward : engine::HistorySink, engine::ArchiveListSink, engine::MessageBoxes {
        FrmSorvane* frame;
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
            QMetaObject::invokeMethod(frame, [this, message] { frame->m_prompts.message(frame, message); },
                Qt::BlockingQueuedConnection);
        }
    };
    Forward history;
    history.frame = this;
    Forward archives;
    archives.frame = this;
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

    m_progress.done = 0;
    m_progress.total = 0;
    m_progress.cancel = false;
    QProgressDialog dialog(this);
    dialog.setObjectName(QStringLiteral("progress"));
    dialog.setWindowModality(Qt::NonModal);
    dialog.setMinimumDuration(300);
    dialog.setRange(0, 1000);
    connect(&dialog, &QProgressDialog::canceled, this, [this] { requestCancel(); });
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, this, [&] {
        const unsigned long long total = m_progress.total;
        dialog.setValue(total ? static_cast<int>(m_progress.done * 1000 / total) : 0);
        std::lock_guard guard(m_progress.lock);
        dialog.setLabelText(QStringLiteral("%1 / %2 MB\n%3")
                                .arg(static_cast<double>(m_progress.done) / 1e6, 0, 'f', 1)
                                .arg(static_cast<double>(total) / 1e6, 0, 'f', 1)
                                .arg(qs(m_progress.entry)));
    });
    ticker.start(100);

    std::int16_t outcome = 1;
    QEventLoop loop;
    std::thread worker([&] {
        engine::Engine engine(pack, m_libraries, history, archives, history);
        outcome = engine.PackDrive(root, name, folder, static_cast<std::int16_t>(mode));
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
    ticker.stop();
    dialog.reset();
    return outcome;
}

void FrmSorvane::btnExe_Click(int index)
{
    if (m_running)
        return;
    m_running = true;
    lock(true);
    m_status->RefreshForm();
    const QString folder = m_outDir->DirName();
    const QString drive = m_inDir->DriveName();
    const char before = platform::currentDrive();
    const char letter = drive.isEmpty() ? 0 : drive.at(0).toLatin1();
    if (!letter || !platform::changeDrive(letter).ok()) {
        m_prompts.message(this, catalogueText(301));
    } else {
        const QString name = m_file->File_Name();
        if (name.isEmpty()) {
            m_prompts.message(this, catalogueText(300));
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

} // namespace ui
