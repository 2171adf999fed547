#include "gui/editor/pages/CRNOption.h"

#include "core/platform/DesktopSoundPlayer.h"
#include "core/records/WatchSettings.h"
#include "core/util/FieldRules.h"
#include "gui/common/GuiPrompter.h"
#include "gui/common/QtText.h"
#include "gui/dialogs/TestMail.h"
#include "gui/editor/sheet/CDefineSheet.h"
#include "ui_CRNOption.h"

#include <QPointer>

namespace tw::gui {

namespace {

constexpr int kStandardSound = 1;
constexpr int kSoundFile = 2;
const QString kStandardSoundFile = QStringLiteral("notify.wav");

/// A stored choice outside the list selects nothing, and is kept unless the user picks one.
int shownChoice(int value, int count) {
    return value >= 0 && value < count ? value : -1;
}

int storedChoice(int index, int stored) {
    return index >= 0 ? index : stored;
}

} // namespace

CRNOption::CRNOption(QWidget* parent)
    : SheetPage(tr("更新時オプション"), parent), m_ui(std::make_unique<Ui::CRNOption>()) {
    m_ui->setupUi(this);
    connect(m_ui->soundList, &QComboBox::activated, this, &CRNOption::soundChosen);
    connect(m_ui->mailCheck, &QCheckBox::clicked, this, [this](bool checked) {
        m_mail = checked ? 1 : 0;
        applyMailState();
    });
    connect(m_ui->listenButton, &QPushButton::clicked, this, &CRNOption::listen);
    connect(m_ui->testMailButton, &QPushButton::clicked, this, &CRNOption::sendTest);
    connect(m_ui->saveBrowseButton, &QPushButton::clicked, this, &CRNOption::browseSaveFile);
    connect(m_ui->soundBrowseButton, &QPushButton::clicked, this, &CRNOption::browseSoundFile);
    connect(m_ui->runBrowseButton, &QPushButton::clicked, this, &CRNOption::browseRunFile);
}

CRNOption::~CRNOption() = default;

void CRNOption::loadItem(CDefineSheet* sheet, WatchSettings* item) {
    SheetPage::loadItem(sheet, item);
    m_saveFile = shownText(item->destFile);
    m_showInBrowser = item->showInBrowser != 0;
    m_popUp = item->popUp != 0;
}

void CRNOption::showItem() {
    m_ui->saveFileEdit->setText(m_saveFile);
    m_ui->showCheck->setChecked(m_showInBrowser);
    m_ui->popUpCheck->setChecked(m_popUp);
    m_ui->downloadList->setCurrentIndex(
        shownChoice(item().downloadMode, m_ui->downloadList->count()));
    const int sound = shownChoice(item().soundMode, m_ui->soundList->count());
    m_ui->soundList->setCurrentIndex(sound);
    // The buttons follow the list from the start, so that a file is never chosen into an edit
    // that the list does not use.
    m_ui->soundFileEdit->setEnabled(sound == kSoundFile);
    m_ui->soundBrowseButton->setEnabled(sound == kSoundFile);
    m_ui->listenButton->setEnabled(sound != 0);
    m_ui->runEdit->setText(shownText(item().runOnUpdate));
    m_ui->soundFileEdit->setText(shownText(item().soundFile));
    m_mail = item().sendMail != 0 ? 1 : 0;
    applyMailState();
    m_ui->mailToEdit->setText(shownText(item().mailTo));
    m_ui->subjectEdit->setText(shownText(item().mailSubject));
    // The edit separates lines by LF; a record written on the old platform holds CR LF.
    QString body = shownText(item().mailBody);
    body.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    body.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    m_ui->bodyEdit->setPlainText(body);
    m_bodyRecord = item().mailBody;
    m_bodyShown = m_ui->bodyEdit->toPlainText();
}

void CRNOption::applyMailState() {
    const bool on = m_mail == 1;
    m_ui->mailCheck->setChecked(on);
    for (QWidget* control :
         {static_cast<QWidget*>(m_ui->mailToEdit), static_cast<QWidget*>(m_ui->subjectEdit),
          static_cast<QWidget*>(m_ui->bodyEdit), static_cast<QWidget*>(m_ui->testMailButton)}) {
        control->setEnabled(on);
    }
}

void CRNOption::soundChosen(int index) {
    if (index == kStandardSound) {
        m_ui->soundFileEdit->setText(kStandardSoundFile);
    }
    m_ui->soundFileEdit->setEnabled(index == kSoundFile);
    m_ui->soundBrowseButton->setEnabled(index == kSoundFile);
    m_ui->listenButton->setEnabled(index != 0);
}

void CRNOption::listen() {
    QString name = m_ui->soundFileEdit->text();
    if (name.isEmpty()) {
        name = kStandardSoundFile;
    }
    const std::optional<std::string> file =
        recordText(name, tr("サウンドファイル"), m_ui->soundFileEdit);
    if (!file) {
        return;
    }
    SoundPlayer* player = m_soundOverride;
    if (!player) {
        if (!m_ownSound) {
            // Bare names are found where the checker finds them when a page changes.
            m_ownSound = std::make_unique<DesktopSoundPlayer>(sheet().context().programFolder);
        }
        player = m_ownSound.get();
    }
    player->play(*file);
}

std::optional<std::string> CRNOption::mailAddress() {
    std::optional<std::string> address =
        recordText(m_ui->mailToEdit->text(), tr("宛先アドレス"), m_ui->mailToEdit);
    if (address && breaksMailAddress(*address)) {
        refuseField(tr("宛先アドレスに使えない文字（<、>、空白、制御文字）が含まれています。"),
                    m_ui->mailToEdit);
        return std::nullopt;
    }
    return address;
}

std::optional<std::string> CRNOption::bodyText() {
    QString body = m_ui->bodyEdit->toPlainText();
    if (body == m_bodyShown) {
        return m_bodyRecord;
    }
    // Lines end in CR LF, as the edit of the old platform stored them.
    body.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    return recordText(body, tr("本文"), m_ui->bodyEdit);
}

void CRNOption::sendTest() {
    const std::optional<std::string> recipient = mailAddress();
    if (!recipient) {
        return;
    }
    const std::optional<std::string> subject =
        recordText(m_ui->subjectEdit->text(), tr("題名"), m_ui->subjectEdit);
    if (!subject) {
        return;
    }
    const std::optional<std::string> body = bodyText();
    if (!body) {
        return;
    }
    const CDefineSheet::Context& context = sheet().context();
    const MailServerSettings server =
        context.mailServer ? context.mailServer() : MailServerSettings{};
    if (mailServerMissing(server)) {
        sheet().tell(fromCp932(noMailServerText()));
        return;
    }
    QPointer<CRNOption> self(this);
    const QString failure =
        sendTestMail(this, server, *recipient, *subject, *body, context.converter);
    if (self && !failure.isEmpty()) {
        sheet().tell(failure);
    }
}

void CRNOption::browseSaveFile() {
    const QString file =
        GuiPrompter::saveFileName(this, tr("ダウンロードデータを保存するファイルを選択"),
                                  tr("すべてのファイル(*)"), m_ui->saveFileEdit->text());
    if (!file.isEmpty()) {
        m_ui->saveFileEdit->setText(file);
    }
}

void CRNOption::browseSoundFile() {
    const QString file = GuiPrompter::openFileName(
        this, tr("サウンドファイルを選択"), tr("サウンドファイル(*.wav);;すべてのファイル(*)"),
        m_ui->soundFileEdit->text(), QStringLiteral("wav"));
    if (!file.isEmpty()) {
        m_ui->soundFileEdit->setText(file);
    }
}

void CRNOption::browseRunFile() {
    const QString file =
        GuiPrompter::openFileName(this, tr("ページ更新時に実行するファイルを選択"),
                                  tr("すべてのファイル(*)"), m_ui->runEdit->text());
    if (!file.isEmpty()) {
        m_ui->runEdit->setText(file);
    }
}

bool CRNOption::onOK() {
    const std::optional<std::string> saveFile =
        recordText(m_ui->saveFileEdit->text(), tr("保存するファイル"), m_ui->saveFileEdit);
    if (!saveFile) {
        return false;
    }
    const std::optional<std::string> soundFile =
        recordText(m_ui->soundFileEdit->text(), tr("サウンドファイル"), m_ui->soundFileEdit);
    if (!soundFile) {
        return false;
    }
    const std::optional<std::string> run =
        recordText(m_ui->runEdit->text(), tr("URL・ファイルを指定して実行"), m_ui->runEdit);
    if (!run) {
        return false;
    }
    // A mail that is off is never sent, and its disabled address box could not be mended.
    const std::optional<std::string> mailTo =
        m_mail == 1 ? mailAddress()
                    : recordText(m_ui->mailToEdit->text(), tr("宛先アドレス"), m_ui->mailToEdit);
    if (!mailTo) {
        return false;
    }
    const std::optional<std::string> subject =
        recordText(m_ui->subjectEdit->text(), tr("題名"), m_ui->subjectEdit);
    if (!subject) {
        return false;
    }
    const std::optional<std::string> body = bodyText();
    if (!body) {
        return false;
    }

    WatchSettings& watch = item();
    watch.destFile = *saveFile;
    watch.downloadMode = storedChoice(m_ui->downloadList->currentIndex(), watch.downloadMode);
    watch.showInBrowser = m_ui->showCheck->isChecked() ? 1 : 0;
    watch.popUp = m_ui->popUpCheck->isChecked() ? 1 : 0;
    watch.soundMode = storedChoice(m_ui->soundList->currentIndex(), watch.soundMode);
    watch.runOnUpdate = *run;
    watch.soundFile = *soundFile;
    watch.sendMail = m_mail;
    watch.mailTo = *mailTo;
    watch.mailSubject = *subject;
    watch.mailBody = *body;
    setConfirmed();
    return true;
}

} // namespace tw::gui
