#pragma once

#include "keychain.h"

#include <QMutex>
#include <QString>

#include <memory>

class SecretServiceClient;

// The keychain on Linux: the Secret Service (items with the attributes "service" and "account")
// mirrored in private fallback files <fallbackFolder>/<service>/<account> (folders 0700, file
// 0600, the raw bytes).
//
// Both places are written on every add, so an item survives runs in which the Secret Service is
// missing or locked (no session bus, keyring not yet unlocked) and comes back unchanged when it
// answers again:
// - find() prefers the Secret Service; when it answers without an item, the file's bytes are
//   copied into it; when it has the item, the file is brought in line; when it cannot answer, the
//   file is the answer.
// - add() writes the file, then the Secret Service item; remove() deletes both.
// A call waits for the Secret Service for about a second at most and never prompts.
class LinuxKeychain : public Keychain
{
    Q_OBJECT

public:
    static constexpr int secretServiceTimeoutMs = 1000;

    explicit LinuxKeychain(const QString &fallbackFolder);
    ~LinuxKeychain() override;

    std::optional<QByteArray> find(const QString &service, const QString &account) override;
    void remove(const QString &service, const QString &account) override;
    void add(const QString &service, const QString &account, const QByteArray &data) override;

private:
    QString fallbackPath(const QString &service, const QString &account) const;
    std::optional<QByteArray> readFallback(const QString &path) const;
    void writeFallback(const QString &path, const QByteArray &data) const;

    const QString m_fallbackFolder;
    std::unique_ptr<SecretServiceClient> m_secretService;
    QMutex m_mutex;
};
