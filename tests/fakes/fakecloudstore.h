#pragma once

#include "cloudkeyvaluestore.h"

#include <QHash>
#include <QMutex>
#include <QSet>

#include <functional>

// The cloud store as a map in memory. changeExternally() plays another device: it changes a value
// and raises the notice on the caller's thread, as the store's notifier thread would. A key in
// `unreadable` holds a value that cannot be read. afterRead runs after each read, outside the lock:
// a test lands another device's change there, inside the reader's read-modify-write.
class FakeCloudStore : public CloudKeyValueStore
{
public:
    StoredValue valueForKey(const QString &key) const override
    {
        StoredValue value;
        {
            QMutexLocker locker(&m_mutex);
            if (unreadable.contains(key))
                value.state = StoredValue::State::Unreadable;
            else if (const auto it = m_values.constFind(key); it != m_values.cend())
                value = {StoredValue::State::Present, *it};
        }
        if (afterRead)
            afterRead(key);
        return value;
    }
    std::optional<QByteArray> dataForKey(const QString &key) const override
    {
        const StoredValue value = valueForKey(key);
        if (value.state != StoredValue::State::Present)
            return std::nullopt;
        return value.bytes;
    }
    void setData(const QByteArray &data, const QString &key) override
    {
        QMutexLocker locker(&m_mutex);
        m_values.insert(key, data);
    }
    bool synchronize() override { return true; }

    // `data` empty: the key is removed. Either way the key is readable afterwards.
    void changeExternally(const QString &key, const std::optional<QByteArray> &data)
    {
        {
            QMutexLocker locker(&m_mutex);
            unreadable.remove(key);
            if (data)
                m_values.insert(key, *data);
            else
                m_values.remove(key);
        }
        Q_EMIT didChangeExternally();
    }

    QSet<QString> unreadable;
    std::function<void(const QString &key)> afterRead;

private:
    mutable QMutex m_mutex;
    QHash<QString, QByteArray> m_values;
};
