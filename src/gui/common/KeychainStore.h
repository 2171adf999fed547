#pragma once

#include "core/ports/SecretStore.h"

#include <QString>

namespace tw::gui {

/// The desktop's secret store through QtKeychain (the Secret Service or KWallet). Each call
/// waits for the store's answer in a local event loop; with none running that answer comes at
/// once. Secrets go in as UTF-8 under the service "Tarnwick".
class KeychainStore : public SecretStore {
public:
    explicit KeychainStore(QString service = QStringLiteral("Tarnwick"))
        : m_service(std::move(service)) {}

    Result read(const std::string& name, std::string& secret) override;
    Result write(const std::string& name, const std::string& secret) override;
    Result remove(const std::string& name) override;

private:
    QString m_service;
};

} // namespace tw::gui
