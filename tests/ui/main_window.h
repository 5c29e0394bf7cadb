// The main window's test bench: scripted message boxes and dialogs, and a
// frame on a mapped sample disk with the real archiver modules.
#pragma once

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QDialog>
#include <QFont>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

#include <gtest/gtest.h>

#include "engine/archiver_library.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "support/archive_support.h"
#include "support/testsupport.h"
#include "ui/frmsorvane.h"
#include "ui/panels.h"
#include "ui/prompts.h"

namespace uitest {

using namespace testsupport;

struct ScriptedPrompts : ui::Prompts {
    QStringList messages;
    bool answer = true;
    QString savePath;
    QString saveSuffix;
    int saveDialogs = 0;
    void message(QWidget*, const QString& text) override
    {
        messages << text;
        if (onMessage)
            onMessage(text); // what happens while the box is up
    }
    std::function<void(const QString&)> onMessage;
    bool question(QWidget*, const QString& text) override
    {
        messages << text;
        return answer;
    }
    QString saveFile(QWidget*, const QString&, const QString& suffix) override
    {
        saveSuffix = suffix;
        ++saveDialogs;
        return savePath;
    }
    bool chooseFont(QWidget* parent, QFont& current) override
    {
        if (realFontDialog)
            return ui::defaultPrompts().chooseFont(parent, current);
        if (!font)
            return false;
        current = *font;
        return true;
    }
    void openHelp(QWidget*, const QString& path) override { helpPath = path; }
    void runModal(QDialog& dialog) override
    {
        dialog.show(); // runs the dialog's activation
        if (modal)
            modal(dialog);
        dialog.hide();
    }
    std::function<void(QDialog&)> modal;
    QString inputText(QWidget*, const QString& prompt, const QString&, const QString&) override
    {
        messages << prompt;
        return input;
    }
    QString input;
    std::optional<QFont> font;
    bool realFontDialog = false; // the real font dialog, driven through whenModal
    QString helpPath;
};

class MainWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        makeSampleTree(m_dir / "disk");
        makeDirs(m_dir / "out");
        makeDirs(m_dir / "tmp");
        m_drives.emplace("SORVANE2_DRIVES", "a=" + m_dir.path() + "/disk|DISK07;b=" + m_dir.path()
                + "/nodisk;c=" + m_dir.path() + "/tmp;d=" + m_dir.path() + "/out");
        m_system.emplace("SORVANE2_SYSTEM_DIR", binaryDir());
        m_config.emplace("SORVANE2_CONFIG_DIR", m_dir.path() + "/config");
        ASSERT_TRUE(platform::changeDrive('d').ok());
        m_settings = settings::defaults();
        m_settings.TmpDir = "C:\\";
        m_libraries = engine::loadLibraries(platform::systemFolder(), &ui::RunProgress::handler, &m_progress);
        ASSERT_TRUE(m_libraries.availability.lzh);
        m_window = std::make_unique<ui::FrmSorvane>(m_settings, m_libraries, m_progress, m_prompts);
        m_window->show();
        QApplication::processEvents();
        m_window->inDir()->setDriveName(QStringLiteral("a:"));
        m_window->outDir()->setDirName(QStringLiteral("D:\\"));
    }

    void typeName(const QString& name)
    {
        m_window->file()->fileOption()->setChecked(true);
        m_window->file()->fileText()->setText(name);
        m_window->file()->autoCount()->setChecked(true);
    }

    TempDir m_dir;
    ScopedCwd m_cwd;
    std::optional<ScopedEnv> m_drives, m_system, m_config;
    settings::ProgramSettings m_settings;
    ui::RunProgress m_progress;
    engine::LibrarySet m_libraries;
    ScriptedPrompts m_prompts;
    std::unique_ptr<ui::FrmSorvane> m_window;
};

// whenModal: once a modal dialog of type T is up (a nested event loop runs
// it), `act` gets it; the dialog's own widgets do the rest.
template <typename T>
void whenModal(std::function<void(T&)> act)
{
    auto* timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, act] {
        if (auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget())) {
            timer->stop();
            timer->deleteLater();
            act(*dialog);
        }
    });
    timer->start();
}

} // namespace uitest
