#include "gui/common/KeychainStore.h"

#include "core/util/Cp932.h"

#include <QEventLoop>
#include <qt6keychain/keychain.h>

namespace tw::gui {

namespace {

SecretStore::Result resultOf(const QKeychain::Job& job) {
    switch (job.error()) {
    case QKeychain::NoError:
        return SecretStore::Result::Done;
    case QKeychain::EntryNotFound:
        return SecretStore::Result::NotFound;
    default:
        return SecretStore::Result::Unavailable;
    }
}

/// Runs the job to its end. The job stays owned here: never deleted behind our back.
void runToEnd(QKeychain::Job& job) {
    job.setAutoDelete(false);
    QEventLoop loop;
    QObject::connect(&job, &QKeychain::Job::finished, &loop, &QEventLoop::quit);
    job.start();
    loop.exec(QEventLoop::ExcludeUserInputEvents);
}

} // namespace

SecretStore::Result KeychainStore::read(const std::string& name, std::string& secret) {
    QKeychain::ReadPasswordJob job(m_service);
    job.setKey(QString::fromStdString(name));
    runToEnd(job);
    const Result result = resultOf(job);
    if (result == Result::Done) {
        secret = toCp932(job.textData().toStdString());
    }
    return result;
}

SecretStore::Result KeychainStore::write(const std::string& name, const std::string& secret) {
    QKeychain::WritePasswordJob job(m_service);
    job.setKey(QString::fromStdString(name));
    job.setTextData(QString::fromStdString(fromCp932(secret)));
    runToEnd(job);
    return resultOf(job);
}

SecretStore::Result KeychainStore::remove(const std::string& name) {
    QKeychain::DeletePasswordJob job(m_service);
    job.setKey(QString::fromStdString(name));
    runToEnd(job);
    return resultOf(job);
}

} // namespace tw::gui
