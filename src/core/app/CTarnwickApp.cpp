#include "core/app/CTarnwickApp.h"

#include "core/app/SettingsArchive.h"
#include "core/net/CFetch.h"
#include "core/platform/RuntimeFolder.h"
#include "core/ports/Prompter.h"
#include "core/util/Cp932.h"
#include "core/util/ErrorText.h"
#include "core/util/SystemPath.h"
#include "core/util/TextUtil.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace tw {

namespace {

/// Why preparePrivateFolder() refused a folder.
std::string folderProblem(int error) {
    switch (error) {
    case EPERM:
        return jp("他のユーザーのフォルダです。");
    case ENOTDIR:
        return jp("フォルダではありません。");
    default:
        return systemErrorText(error);
    }
}

/// The name the mail password is kept under in the secret store.
constexpr const char* kMailSecret = "mail";

MailServerSettings::Security securityFromConf(const std::string& text) {
    const std::string mode = asciiLower(text);
    if (mode == "starttls") {
        return MailServerSettings::Security::StartTls;
    }
    if (mode == "tls") {
        return MailServerSettings::Security::Tls;
    }
    return MailServerSettings::Security::None;
}

const char* securityToConf(MailServerSettings::Security security) {
    switch (security) {
    case MailServerSettings::Security::StartTls:
        return "starttls";
    case MailServerSettings::Security::Tls:
        return "tls";
    case MailServerSettings::Security::None:
        break;
    }
    return "none";
}

} // namespace

AppPaths AppPaths::fromEnvironment() {
    return AppPaths{tw::programFolder(), tw::configFolder(), tw::runtimeFolderPath()};
}

CTarnwickApp::CTarnwickApp(Prompter& prompter, const AppPaths& paths)
    : m_prompter(prompter), m_paths(paths),
      ownKey("Software\\Orvane\\Tarnwick", false, &prompter, paths.configFolder),
      quaylinkKey("Software\\Orvane\\brlHelper", false, &prompter, paths.configFolder),
      brindleKey("Software\\Orvane\\Brindle", true, &prompter, paths.configFolder),
      locationKey("Software\\Orvane\\Location", false, &prompter, paths.configFolder),
      m_settingsFile(paths.programFolder + "/" + kSettingsFileName, 0644,
                     paths.programFolder + "/" + kDamagedSettingsName),
      m_messageBus(paths.runtimeFolder), m_converterFactory([] { return createCodeConverter(); }) {}

CTarnwickApp::~CTarnwickApp() {
    m_messageBus.stop();
}

std::string CTarnwickApp::settingsPath() const {
    return m_paths.programFolder + "/" + kSettingsFileName;
}

std::string CTarnwickApp::confPath() const {
    return m_paths.programFolder + "/" + kConfFileName;
}

void CTarnwickApp::loadConf() {
    if (m_conf.load(confPath()) == ConfFile::Load::Unreadable) {
        tell("設定ファイルを読み込めないため、既定の設定を使います。", confPath(),
             systemErrorText(m_conf.loadError()), Prompter::Icon::Warning);
    }
    CFetch::setMaxDownloadSeconds(static_cast<int>(m_conf.number(
        "net", "max_download_s", CFetch::kDefaultMaxDownloadSeconds, 1, 365LL * 24 * 3600)));
    // A second between two requests to one server is polite and costs a round over many
    // servers nothing; an hour is the most that still lets a round end.
    m_hostGap = std::chrono::milliseconds(m_conf.number("net", "host_gap_ms", 1000, 0, 3600000));
    const HistoryLimits defaults;
    m_historyLimits.versions =
        static_cast<int>(m_conf.number("history", "versions", defaults.versions, 0, 1000));
    m_historyLimits.maxBytes =
        m_conf.number("history", "max_mb", defaults.maxBytes >> 20, 1, 1000000) << 20;
    MailServerSettings mail = m_mail.snapshot();
    const std::string include = asciiLower(m_conf.value("mail", "include_changes").value_or(""));
    mail.includeChanges =
        include == "true" || include == "1" || include == "yes" || include == "on";
    // The file is UTF-8; the program keeps code page 932.
    mail.security = securityFromConf(m_conf.value("mail", "security").value_or(""));
    mail.user = toCp932(m_conf.value("mail", "user").value_or(""));
    mail.caFile = toCp932(m_conf.value("mail", "cafile").value_or(""));
    mail.password = toCp932(m_conf.value("mail", "password").value_or(""));
    // The store is asked only by those who log in: for everyone else the start stays quiet.
    if (m_secrets && !mail.user.empty()) {
        std::string secret;
        if (m_secrets->read(kMailSecret, secret) == SecretStore::Result::Done) {
            mail.password = std::move(secret);
        }
    }
    m_mail.set(std::move(mail));
    const std::string changes = asciiLower(m_conf.value("notify", "changes").value_or("true"));
    m_notifyChanges =
        !(changes == "false" || changes == "0" || changes == "no" || changes == "off");
    m_failureAlertThreshold = static_cast<int>(m_conf.number("notify", "failures", 3, 0, 1000));
}

bool CTarnwickApp::setNotifyChanges(bool on) {
    if (on == m_notifyChanges) {
        return true;
    }
    m_notifyChanges = on;
    m_conf.set("notify", "changes", on ? "true" : "false");
    if (!m_conf.save(confPath())) {
        tell("設定ファイルに保存できませんでした。", confPath(), systemErrorText(errno));
        return false;
    }
    return true;
}

bool CTarnwickApp::secretStoreAnswers() const {
    std::string ignored;
    return m_secrets && m_secrets->read(kMailSecret, ignored) != SecretStore::Result::Unavailable;
}

bool CTarnwickApp::setMailServer(MailServerSettings settings) {
    const MailServerSettings old = m_mail.snapshot();
    bool confChanged = false;
    const auto keep = [&](const char* key, const std::string& before, const std::string& after) {
        if (before != after) {
            // A value with a line break cannot be kept; the dialog refuses those.
            confChanged = m_conf.set("mail", key, after) || confChanged;
        }
    };
    keep("include_changes", old.includeChanges ? "true" : "false",
         settings.includeChanges ? "true" : "false");
    keep("security", securityToConf(old.security), securityToConf(settings.security));
    keep("user", fromCp932(old.user), fromCp932(settings.user));
    keep("cafile", fromCp932(old.caFile), fromCp932(settings.caFile));
    if (settings.password != old.password) {
        bool inStore = false;
        if (m_secrets) {
            const SecretStore::Result result =
                settings.password.empty() ? m_secrets->remove(kMailSecret)
                                          : m_secrets->write(kMailSecret, settings.password);
            inStore = result != SecretStore::Result::Unavailable;
        }
        // Kept in one place only: the store, or where none answers, the private file.
        const std::string inFile = inStore ? std::string() : fromCp932(settings.password);
        if (m_conf.value("mail", "password").value_or("") != inFile) {
            confChanged = m_conf.set("mail", "password", inFile) || confChanged;
        }
    }
    m_mail.set(std::move(settings));
    if (!confChanged) {
        return true;
    }
    if (!m_conf.save(confPath())) {
        tell("設定ファイルに保存できませんでした。", confPath(), systemErrorText(errno));
        return false;
    }
    return true;
}

std::string CTarnwickApp::compFolder() const {
    return m_paths.programFolder + "/comp";
}

void CTarnwickApp::tell(const char* text, const std::string& path, const std::string& detail,
                        Prompter::Icon icon) {
    std::string message = jp(text) + "\n" + path;
    if (!detail.empty()) {
        message += "\n" + detail;
    }
    m_prompter.showMessage(message, icon);
}

bool CTarnwickApp::initInstance() {
    m_otherInstance = false;
    if (const int error = preparePrivateFolder(m_paths.runtimeFolder); error != 0) {
        tell("実行時フォルダを使用できないため、起動できません。", textPath(m_paths.runtimeFolder),
             folderProblem(error));
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
        tell("ロックファイルを作成できないため、起動できません。", textPath(m_instanceLock.path()),
             systemErrorText(m_instanceLock.error()));
        return false;
    }
    if (!lockDataFolder()) {
        return false;
    }

    std::string comp = compFolder();
    if (validateSaveFolder(comp) != 0) {
        const int error = ::mkdir(systemPath(compFolder()).c_str(), 0777) == 0 ? 0 : errno;
        comp = compFolder();
        if (validateSaveFolder(comp) != 0) {
            // The words alone blame the installation; here it is the data folder, so the
            // folder and the system's reason say what to mend.
            tell("Tarnwickが正しくインストールされていません", compFolder(),
                 error != 0 ? systemErrorText(error) : comp, Prompter::Icon::Error);
            return false;
        }
    }

    loadConf();
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

bool CTarnwickApp::lockDataFolder() {
    // An instance started with another runtime folder (XDG_RUNTIME_DIR unset under cron, say)
    // does not see the first lock; this one, beside the files both would write, it does.
    InstanceLock::Result result =
        m_dataLock.acquire(kDataLockName, systemPath(m_paths.programFolder));
    // A list command of the shell holds the lock for the moment of its edit: that is waited
    // out. Another instance (one that took the first lock in another runtime folder) holds it
    // for good.
    for (int tries = 0; result == InstanceLock::Result::HeldElsewhere && tries < 60; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        result = m_dataLock.acquire(kDataLockName, systemPath(m_paths.programFolder));
    }
    switch (result) {
    case InstanceLock::Result::Acquired:
        return true;
    case InstanceLock::Result::HeldElsewhere:
        m_otherInstance = true;
        m_instanceLock.release();
        MessageBus::broadcast(kShowMessage, m_paths.runtimeFolder);
        return false;
    case InstanceLock::Result::Failed:
        break;
    }
    const int error = m_dataLock.error();
    if (error == EACCES || error == EROFS || error == ENOENT) {
        // A data folder that is missing or not writable: no instance can save there. The start
        // goes on; the comp folder check or the saves report it, as before.
        return true;
    }
    tell("ロックファイルを作成できないため、起動できません。", textPath(m_dataLock.path()),
         systemErrorText(error));
    m_instanceLock.release();
    return false;
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
    // The window is shown again on every message that asks for it: unchanged, nothing is
    // written (each write waits for the disk).
    if (ownKey.readString("State") != text) {
        ownKey.writeString("State", text);
    }
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
    const MailServerSettings mail = m_mail.snapshot();
    archive.writeString(mail.server);
    archive.writeInt(mail.port);
    archive.writeString(mail.account);
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
    if (schema < 0 || schema > kMaxSchema) {
        archive.fail(jp("形式の番号が正しくありません"));
        return;
    }
    archive.readString(reservedText);
    if (schema >= 3) {
        archive.readInt(linkDownloadOption);
        MailServerSettings mail = m_mail.snapshot();
        archive.readString(mail.server);
        archive.readInt(mail.port);
        archive.readString(mail.account);
        m_mail.set(std::move(mail));
    } else {
        if (schema == 2) {
            archive.readInt(linkDownloadOption);
            std::int32_t unused = 0;
            archive.readInt(unused);
        }
        // What tarnwick.conf holds stays.
        MailServerSettings cleared;
        cleared.includeChanges = m_mail.snapshot().includeChanges;
        m_mail.set(std::move(cleared));
    }
    std::int32_t mainWindowSchema = 0;
    if (!archive.readInt(mainWindowSchema)) {
        return;
    }
    if (mainWindowSchema < 0 || mainWindowSchema > kMaxSchema) {
        archive.fail(jp("形式の番号が正しくありません"));
        return;
    }
    archive.readString(linkSaveFolder);
    // A later version may append fields; for the layouts known here the end is the end.
    if (schema <= kApplicationSchema && mainWindowSchema <= kMainWindowSchema &&
        archive.remaining() != 0) {
        archive.fail(jp("設定の後に余分なデータがあります"));
    }
}

bool CTarnwickApp::loadSettings() {
    std::string bytes;
    if (const int error = m_settingsFile.read(bytes); error != 0) {
        // Only a missing file means "no settings yet"; any other must survive this run.
        if (error != ENOENT) {
            tell("設定ファイルを読み込めませんでした。このファイルは上書きしません。",
                 settingsPath(), jp("理由: ") + systemErrorText(error), Prompter::Icon::Warning);
        }
        return false;
    }
    SettingsArchive archive(bytes);
    deserializeSettings(archive);
    if (!archive.failed()) {
        return true;
    }
    // Kept aside at once: the next save replaces the file with what could be read of it.
    m_settingsFile.setDamaged(std::move(bytes));
    if (!m_settingsFile.keepDamaged()) {
        m_settingsFile.refuse();
        tell("設定ファイルが壊れています。控えを保存できないため、このファイルは上書きしません。",
             settingsPath(), jp("理由: ") + archive.reason());
        return false;
    }
    tell("設定ファイルが壊れていました。元のファイルは次の名前で保存してあります。",
         m_settingsFile.damagedCopy(), jp("理由: ") + archive.reason(), Prompter::Icon::Warning);
    return false;
}

bool CTarnwickApp::saveSettings() {
    if (!m_settingsFile.mayReplace()) {
        tell("設定ファイルを読み込めていないため、上書きしませんでした。", settingsPath(), {});
        return false;
    }
    SettingsArchive archive;
    serializeSettings(archive);
    if (!m_settingsFile.write(archive.bytes())) {
        tell("設定ファイルを保存できませんでした。", settingsPath(),
             jp("理由: ") + systemErrorText(errno));
        return false;
    }
    return true;
}

} // namespace tw
