#include "app/CTarnwickApp.h"

#include "app/SettingsArchive.h"
#include "platform/RuntimeFolder.h"
#include "ports/Prompter.h"
#include "util/Cp932.h"
#include "util/SafeFile.h"
#include "util/TextUtil.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tw {

AppPaths AppPaths::fromEnvironment() {
    return AppPaths{tw::programFolder(), tw::configFolder(), tw::runtimeFolder()};
}

CTarnwickApp::CTarnwickApp(Prompter& prompter, const AppPaths& paths)
    : m_prompter(prompter), m_paths(paths),
      ownKey("Software\\Orvane\\Tarnwick", false, &prompter, paths.configFolder),
      quaylinkKey("Software\\Orvane\\brlHelper", false, &prompter, paths.configFolder),
      brindleKey("Software\\Orvane\\Brindle", true, &prompter, paths.configFolder),
      locationKey("Software\\Orvane\\Location", false, &prompter, paths.configFolder),
      m_messageBus(paths.runtimeFolder), m_converterFactory([] { return createCodeConverter(); }) {}

CTarnwickApp::~CTarnwickApp() {
    m_messageBus.stop();
}

std::string CTarnwickApp::settingsPath() const {
    return m_paths.programFolder + "/" + kSettingsFileName;
}

std::string CTarnwickApp::compFolder() const {
    return m_paths.programFolder + "/comp";
}

bool CTarnwickApp::initInstance() {
    m_otherInstance = false;
    if (!makePrivateFolder(m_paths.runtimeFolder)) {
        return false;
    }
    switch (m_instanceLock.acquire(kInstanceName, m_paths.runtimeFolder)) {
    case InstanceLock::Result::Acquired:
        break;
    case InstanceLock::Result::HeldElsewhere:
        // The running instance shows itself on this message; nothing else is written here.
        m_otherInstance = true;
        MessageBus::broadcast(kShowMessage, m_paths.runtimeFolder);
        return false;
    case InstanceLock::Result::Failed:
        return false;
    }

    std::string comp = compFolder();
    if (validateSaveFolder(comp) != 0) {
        ::mkdir(compFolder().c_str(), 0777);
        comp = compFolder();
        if (validateSaveFolder(comp) != 0) {
            m_prompter.showMessage(jp("Tarnwickが正しくインストールされていません"),
                                   Prompter::Icon::Error);
            return false;
        }
    }

    ownKey.writeString("Position", m_paths.programFolder);
    ownKey.writeString("Version", kVersionText);

    m_converter = m_converterFactory ? m_converterFactory() : nullptr;
    if (!m_converter) {
        m_prompter.showMessage(jp("漢字処理ルーチンが初期化できませんでした。"),
                               Prompter::Icon::Warning);
    }

    // Without the bus the siblings cannot call us to the front; the program still works.
    m_messageBus.start();
    return true;
}

void CTarnwickApp::exitInstance() {
    // No message may reach a main window that is going away.
    m_messageBus.stop();
    m_converter.reset();
    setState("closed");
}

int CTarnwickApp::run(const std::function<void()>& runMainWindow) {
    if (!initInstance()) {
        return m_otherInstance ? 0 : 1;
    }
    if (runMainWindow) {
        runMainWindow();
    }
    exitInstance();
    return 0;
}

void CTarnwickApp::setState(const std::string& text) {
    ownKey.writeString("State", text);
}

int CTarnwickApp::versionNumber(const std::string& text) {
    std::string digits = text;
    const auto dot = digits.find('.');
    if (dot == std::string::npos) {
        return 0;
    }
    digits.erase(dot, 1);
    return parseInt(digits);
}

void CTarnwickApp::serializeSettings(SettingsArchive& archive) const {
    archive.writeInt(kApplicationSchema);
    archive.writeString(std::string()); // the reserved text is never carried forward
    archive.writeInt(linkDownloadOption);
    archive.writeString(mailServer);
    archive.writeInt(mailPort);
    archive.writeString(mailAccount);
    archive.writeInt(kMainWindowSchema);
    archive.writeString(linkSaveFolder);
}

void CTarnwickApp::deserializeSettings(SettingsArchive& archive) {
    // Once a read fails every further one fails too, so the fields after a damaged spot keep
    // their values.
    std::int32_t schema = 0;
    if (!archive.readInt(schema)) {
        return;
    }
    archive.readString(reservedText);
    if (schema >= 3) {
        archive.readInt(linkDownloadOption);
        archive.readString(mailServer);
        archive.readInt(mailPort);
        archive.readString(mailAccount);
    } else {
        if (schema == 2) {
            archive.readInt(linkDownloadOption);
            std::int32_t unused = 0;
            archive.readInt(unused);
        }
        mailServer.clear();
        mailPort = kDefaultMailPort;
        mailAccount.clear();
    }
    std::int32_t mainWindowSchema = 0;
    archive.readInt(mainWindowSchema);
    archive.readString(linkSaveFolder);
}

bool CTarnwickApp::loadSettings() {
    std::string bytes;
    if (!readWholeFile(settingsPath(), bytes)) {
        return false;
    }
    SettingsArchive archive(bytes);
    deserializeSettings(archive);
    if (archive.failed()) {
        const std::string aside = uniqueFileName(m_paths.programFolder + "/TARNWICK-damaged.INI");
        replaceFileContents(aside, bytes, 0644);
        return false;
    }
    return true;
}

bool CTarnwickApp::saveSettings() {
    SettingsArchive archive;
    serializeSettings(archive);
    return replaceFileContents(settingsPath(), archive.bytes(), 0644);
}

} // namespace tw
