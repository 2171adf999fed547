#pragma once

#include "gui/editor/sheet/SheetPage.h"

#include <string>

class QCheckBox;
class QLineEdit;
class QRadioButton;

namespace tw::gui {

/// "接続": the proxy (host and port, joined as host:port), whether local addresses bypass it,
/// and which browser the requests claim to come from.
class CConPage : public SheetPage {
    Q_OBJECT
public:
    enum class Agent { Msie, Netscape, Own };

    static const char* const kMsieAgent;
    static const char* const kNetscapeAgent;
    /// The product name followed by the version, as the program's own requests name it.
    static std::string ownAgent();
    /// The choice an item's agent text stands for: Netscape is looked for first, then MSIE;
    /// any other text (an empty one too) is the program's own.
    static Agent classifyAgent(const std::string& userAgent);
    static std::string agentText(Agent agent);

    explicit CConPage(QWidget* parent = nullptr);
    bool onOK() override;

protected:
    void showItem() override;

private:
    QLineEdit* m_hostEdit;
    QLineEdit* m_portEdit;
    QCheckBox* m_bypass;
    QRadioButton* m_msie;
    QRadioButton* m_netscape;
    QRadioButton* m_own;
    /// The proxy as loaded, kept when the user leaves host and port as shown.
    std::string m_storedHost;
    std::string m_storedPort;
};

} // namespace tw::gui
