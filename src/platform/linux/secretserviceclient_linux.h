#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QString>

#include <memory>

// A client of the freedesktop Secret Service (gnome-keyring, KWallet, KeePassXC) for
// generic-password items addressed by the attributes "service" and "account", the way
// `secret-tool lookup service S account A` finds them.
//
// It never prompts: it neither unlocks anything nor creates a collection, and a locked item or
// collection counts as unavailable. Each request runs on the client's own thread and the caller
// waits for it at most until its deadline; a request still running then is cancelled and
// abandoned, and the caller is told the service is unavailable. The connection to the service is
// kept from one request to the next, and replaced when the daemon behind it changes.
class SecretServiceClient
{
public:
    enum class Status {
        Ok,
        NoItem, // the service answered and holds no such item
        Unavailable, // no session bus, no service, locked, failed or too slow
    };

    struct Lookup
    {
        Status status = Status::Unavailable;
        QByteArray secret;
    };

    SecretServiceClient();
    ~SecretServiceClient();
    SecretServiceClient(const SecretServiceClient &) = delete;
    SecretServiceClient &operator=(const SecretServiceClient &) = delete;

    // The first unlocked matching item's secret.
    Lookup lookup(const QString &service, const QString &account, QDeadlineTimer deadline);
    // Replaces the matching items with one item in the default collection; Ok when stored.
    Status store(const QString &service, const QString &account, const QByteArray &secret,
                 QDeadlineTimer deadline);
    // Deletes every matching item; Ok when none is left.
    Status clear(const QString &service, const QString &account, QDeadlineTimer deadline);

private:
    struct Worker;
    std::shared_ptr<Worker> m_worker;
};
