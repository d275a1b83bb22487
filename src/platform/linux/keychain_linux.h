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
// The item must read the same whether or not the Secret Service answers in a given run (no
// session bus, keyring still locked). So every change goes to the file and, when possible, to the
// Secret Service; a change the Secret Service could not take leaves a marker file
// (.<account>.unsynced) next to the item, and while that marker exists the file is the truth and
// is handed to the Secret Service at the next chance:
// - find(): with a marker, the file's contents (or its absence) are pushed to the Secret Service
//   and returned. Without one, the Secret Service is preferred: its item is returned and the file
//   brought in line; when it has no item, the file's bytes are copied into it; when it cannot
//   answer, the file is the answer.
// - add() and remove() change the file, then the Secret Service item.
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
    struct Paths
    {
        QString item; // empty when service or account cannot name a file
        QString unsynced; // the marker of a change the Secret Service has not seen
    };
    Paths pathsFor(const QString &service, const QString &account) const;
    void setUnsynced(const Paths &paths, bool unsynced) const;

    const QString m_fallbackFolder;
    std::unique_ptr<SecretServiceClient> m_secretService;
    QMutex m_mutex;
};
