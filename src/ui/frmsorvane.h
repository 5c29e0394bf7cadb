// frmSorvane: the program's main window: the execute buttons, the menus and
// the five panels, and the pack run behind the buttons.
#pragma once

#include <QMainWindow>

#include <array>
#include <atomic>
#include <map>
#include <mutex>
#include <string>

#include "engine/archiver_library.h"
#include "geometry.h"
#include "settings/settings.h"

class QMdiArea;
class QMdiSubWindow;
class QPushButton;

namespace ui {

class Prompts;
class MdiInDir;
class MdiFile;
class MdiOutDir;
class MdiStatus;
class MdiOutFile;
class FrmOption;
class FrmDefault;
class FrmAbout;

// Progress of the library call in progress, shared with the library's
// callback (which runs in the worker thread).
struct RunProgress {
    std::atomic<unsigned long long> done{0};
    std::atomic<unsigned long long> total{0};
    std::atomic<bool> cancel{false};
    std::atomic<bool> inCall{false}; // a library call runs (the progress window may show)
    std::mutex lock;
    std::string entry;

    // handler: the callback given to the libraries (context = this).
    static bool handler(void* context, unsigned long long done, unsigned long long total, const char* entry);
};

// progressPlace: where the progress window of a run goes: a corner of the
// frame (or beside it) where it shows whole on `screen` and covers neither the
// history panel (`history`, global) nor the middle of the frame, where the
// run's messages appear.
QPoint progressPlace(const QRect& frame, const QRect& history, const QSize& size, const QRect& screen);

class FrmSorvane : public QMainWindow {
public:
    FrmSorvane(settings::ProgramSettings& settings, engine::LibrarySet& libraries, RunProgress& progress,
               Prompts& prompts, QWidget* parent = nullptr);

    // btnExe_Click: the pack run of one execute button (0 normal, 1 store, 2 double).
    void btnExe_Click(int index);
    // runQueue: btnExe_Click for a queue of images: each image its own run in
    // the history, then a closing line with the count and the images that failed.
    void runQueue(int index);
    // arrange: the panels in their grid, when the Resize setting is on.
    void arrange();
    // SetToolTip: the tooltips of the frame and of every panel, on or off.
    void SetToolTip(bool on);
    // SetFontData: the program font on every window, then the arrangement.
    void SetFontData();
    // keepPanelsUsable: the frame's minimum size for the panels at the current font.
    void keepPanelsUsable();
    // mnuFont_Click: the font dialog; a changed font is kept and applied.
    void mnuFont_Click();
    // mnuHelp_Click: the help page beside the program.
    void mnuHelp_Click();
    // mnuMkdir_Click: a new folder below the storage folder, then open it there.
    void mnuMkdir_Click();
    // mnuOption_Click: the Options dialog; confirmed choices go into the record.
    void mnuOption_Click();
    FrmOption* options() const { return m_options; }
    // The three "(&D)efault" entries: each fills a default dialog, shows it
    // and takes its value over only when it was confirmed.
    void mnuInDirDefault_Click();
    void mnuOutDirDefault_Click();
    void mnuTmpDirDefault_Click();
    FrmDefault* driveDialog() const { return m_driveDialog; }
    FrmDefault* folderDialog() const { return m_folderDialog; }
    FrmAbout* about() const { return m_about; }
    // mnuAbout_Click: the About box, modally.
    void mnuAbout_Click();
    const std::string& defaultDrive() const { return m_dirIn; }
    bool defaultDriveInForce() const { return m_dirInInForce; }
    const std::string& defaultFolder() const { return m_dirOut; }
    bool running() const { return m_running; }
    // loadError: the message of a failed load ("Sorvane2 frmSorvane MDIForm_Load ERR"),
    // empty when the window loaded; the program shows it and ends.
    const QString& loadError() const { return m_loadError; }
    // requestCancel: what the progress window's Cancel does: the library call
    // in progress ends with "cancelled".
    void requestCancel() { m_progress.cancel = true; }

    QMdiArea* mdiArea() const { return m_mdiArea; }
    QPushButton* button(int index) const { return m_buttons[static_cast<size_t>(index)]; }
    MdiInDir* inDir() const { return m_inDir; }
    MdiFile* file() const { return m_file; }
    MdiOutDir* outDir() const { return m_outDir; }
    MdiStatus* status() const { return m_status; }
    MdiOutFile* outFile() const { return m_outFile; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void buildMenus();
    void lock(bool locked);
    void restoreState();
    void saveState();
    void loadPanel(size_t index);
    void placeDialog(QWidget* dialog, const char* prefix, bool withSize, const char* failure);
    void storeDialog(QWidget* dialog, const char* prefix, bool withSize);
    void writePosition(const std::string& key, int pixels);
    std::int16_t runEngine(const std::string& root, const std::string& name, const std::string& folder, int mode);

    settings::ProgramSettings& m_settings;
    engine::LibrarySet& m_libraries;
    RunProgress& m_progress;
    Prompts& m_prompts;
    QMdiArea* m_mdiArea;
    std::array<QPushButton*, 3> m_buttons{};
    MdiInDir* m_inDir;
    MdiFile* m_file;
    MdiOutDir* m_outDir;
    MdiStatus* m_status;
    MdiOutFile* m_outFile;
    std::array<QMdiSubWindow*, 5> m_windows{};
    FrmOption* m_options = nullptr;
    FrmDefault* m_driveDialog = nullptr;
    FrmDefault* m_folderDialog = nullptr;
    FrmAbout* m_about = nullptr;
    std::map<std::string, QSize> m_askedSizes; // the stored sizes the dialogs were given
    GeometryMemo m_memo;
    QString m_loadError;
    bool m_running = false;
    bool m_activated = false;
    std::string m_dirIn;      // default source drive (Dir_In), changed by the default dialog
    bool m_dirInInForce = true;
    std::string m_dirOut;     // default storage folder (Dir_Out)
    bool m_dirOutInForce = true;
};

} // namespace ui
