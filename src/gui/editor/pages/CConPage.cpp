#include "gui/editor/pages/CConPage.h"

#include "core/app/CTarnwickApp.h"
#include "core/records/WatchSettings.h"
#include "core/util/FieldRules.h"
#include "gui/editor/pages/PageText.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QVBoxLayout>

namespace tw::gui {

const char* const CConPage::kMsieAgent =
    "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0; Q312461)";
const char* const CConPage::kNetscapeAgent =
    "Mozilla/5.0 (Windows; U; Windows NT 5.0; ja-JP; rv:0.9.4) Gecko/20011128 Netscape6/6.2.1";

std::string CConPage::ownAgent() {
    return std::string("Tarnwick") + CTarnwickApp::kVersionText;
}

CConPage::Agent CConPage::classifyAgent(const std::string& userAgent) {
    if (userAgent.find("Netscape") != std::string::npos) {
        return Agent::Netscape;
    }
    if (userAgent.find("MSIE") != std::string::npos) {
        return Agent::Msie;
    }
    return Agent::Own;
}

std::string CConPage::agentText(Agent agent) {
    switch (agent) {
    case Agent::Msie:
        return kMsieAgent;
    case Agent::Netscape:
        return kNetscapeAgent;
    case Agent::Own:
        break;
    }
    return ownAgent();
}

CConPage::CConPage(QWidget* parent)
    : SheetPage(tr("接続"), parent), m_hostEdit(new QLineEdit(this)),
      m_portEdit(new QLineEdit(this)),
      m_bypass(new QCheckBox(tr("ローカルアドレスにはプロキシを使わない"), this)),
      m_msie(new QRadioButton(QStringLiteral("MSIE"))),
      m_netscape(new QRadioButton(QStringLiteral("Netscape"))),
      m_own(new QRadioButton(QStringLiteral("Tarnwick"))) {
    m_hostEdit->setObjectName(QStringLiteral("hostEdit"));
    m_portEdit->setObjectName(QStringLiteral("portEdit"));
    m_bypass->setObjectName(QStringLiteral("bypassCheck"));
    m_msie->setObjectName(QStringLiteral("msieRadio"));
    m_netscape->setObjectName(QStringLiteral("netscapeRadio"));
    m_own->setObjectName(QStringLiteral("ownRadio"));

    auto* proxy = new QGridLayout;
    auto* hostLabel = new QLabel(tr("プロキシ　：　ホスト名またはIPアドレス"), this);
    hostLabel->setBuddy(m_hostEdit);
    auto* portLabel = new QLabel(tr("ポート"), this);
    portLabel->setBuddy(m_portEdit);
    proxy->addWidget(hostLabel, 0, 0);
    proxy->addWidget(portLabel, 0, 1);
    proxy->addWidget(m_hostEdit, 1, 0);
    proxy->addWidget(m_portEdit, 1, 1);
    proxy->setColumnStretch(0, 3);
    proxy->setColumnStretch(1, 1);

    auto* browser = new QGroupBox(tr("仮想ブラウザ"), this);
    auto* choices = new QVBoxLayout(browser);
    auto* group = new QButtonGroup(this);
    for (QRadioButton* radio : {m_msie, m_netscape, m_own}) {
        choices->addWidget(radio);
        group->addButton(radio);
    }

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(proxy);
    layout->addWidget(m_bypass);
    layout->addWidget(browser);
    layout->addStretch(1);
    m_own->setChecked(true);
}

void CConPage::showItem() {
    const std::string& proxy = item().proxy;
    const std::size_t colon = proxy.find(':');
    if (colon == std::string::npos) {
        m_storedHost.clear();
        m_storedPort.clear();
    } else {
        m_storedHost = proxy.substr(0, colon);
        m_storedPort = proxy.substr(colon + 1);
    }
    m_hostEdit->setText(shownText(m_storedHost));
    m_portEdit->setText(shownText(m_storedPort));
    m_bypass->setChecked(item().noProxyForLocal != 0);
    switch (classifyAgent(item().userAgent)) {
    case Agent::Msie:
        m_msie->setChecked(true);
        break;
    case Agent::Netscape:
        m_netscape->setChecked(true);
        break;
    case Agent::Own:
        m_own->setChecked(true);
        break;
    }
}

bool CConPage::onOK() {
    auto field = [this](QLineEdit* edit, const std::string& stored,
                        const QString& label) -> std::optional<std::string> {
        std::optional<std::string> text = shownUnchanged(edit->text(), stored)
                                              ? std::optional<std::string>(stored)
                                              : recordText(edit->text(), label, edit);
        if (text && breaksHeaderLine(*text)) {
            refuseField(headerLineRefusal(label), edit);
            return std::nullopt;
        }
        return text;
    };
    const std::optional<std::string> host =
        field(m_hostEdit, m_storedHost, tr("プロキシのホスト名"));
    const std::optional<std::string> port =
        host ? field(m_portEdit, m_storedPort, tr("プロキシのポート")) : std::nullopt;
    if (!port) {
        return false;
    }
    // A host without port, or a port without host, is no proxy.
    item().proxy = !host->empty() && !port->empty() ? *host + ":" + *port : std::string();
    item().noProxyForLocal = m_bypass->isChecked() ? 1 : 0;
    const Agent agent = m_netscape->isChecked() ? Agent::Netscape
                        : m_msie->isChecked()   ? Agent::Msie
                                                : Agent::Own;
    item().userAgent = agentText(agent);
    setConfirmed();
    return true;
}

} // namespace tw::gui
