#pragma once

#include "keychain.h"

#include <QHash>
#include <QMutex>

// A keychain in memory. While `refusing`, it stands for a locked or broken secret store: every
// write is lost and every read finds nothing.
class FakeKeychain : public Keychain
{
public:
    std::optional<QByteArray> find(const QString &service, const QString &account) override
    {
        QMutexLocker locker(&m_mutex);
        ++finds;
        const auto it = m_items.constFind({service, account});
        if (refusing || it == m_items.cend())
            return std::nullopt;
        return *it;
    }
    void remove(const QString &service, const QString &account) override
    {
        QMutexLocker locker(&m_mutex);
        if (!refusing)
            m_items.remove({service, account});
    }
    void add(const QString &service, const QString &account, const QByteArray &data) override
    {
        QMutexLocker locker(&m_mutex);
        if (!refusing)
            m_items.insert({service, account}, data);
    }

    bool refusing = false;
    int finds = 0;

private:
    QMutex m_mutex;
    QHash<std::pair<QString, QString>, QByteArray> m_items;
};
