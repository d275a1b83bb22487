#include "syncpassword.h"

#include "secretserviceclient_linux.h"
#include "syncconfig.h"

namespace SyncPassword {

namespace {

// A locked keyring answers at once; a slow daemon at start of session gets a few seconds.
constexpr int kTimeoutMs = 5000;

SecretServiceClient &client()
{
    static SecretServiceClient instance;
    return instance;
}

} // namespace

Lookup find(const QString &account)
{
    const SecretServiceClient::Lookup found
            = client().lookup(SyncConfig::passwordService, account, QDeadlineTimer(kTimeoutMs));
    switch (found.status) {
    case SecretServiceClient::Status::Ok:
        return {Status::Ok, found.secret};
    case SecretServiceClient::Status::NoItem:
        return {Status::NoItem, {}};
    case SecretServiceClient::Status::Unavailable:
        break;
    }
    return {};
}

bool store(const QString &account, const QByteArray &password)
{
    return client().store(SyncConfig::passwordService, account, password,
                          QDeadlineTimer(kTimeoutMs))
            == SecretServiceClient::Status::Ok;
}

} // namespace SyncPassword
