#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <optional>

// The key-value store shared by the user's devices. Values are byte blobs under string keys.
//
// Promises:
// - valueForKey() tells a key that holds nothing (absent: the only "nothing stored") from a value
//   that is there but cannot be read right now (permissions, size over the store's limit, an I/O
//   error, something that is not a value). Callers never treat the second as the first: they do
//   not replace what they could not read.
// - dataForKey() returns exactly the bytes last stored under the key, or nothing when the key is
//   absent or unreadable; it never throws and never blocks for long.
// - setData() replaces the value atomically: a reader in this or another process sees either the
//   old bytes or the new ones, never a mixture.
// - didChangeExternally() is emitted once for each batch of changes that another process or device
//   made, on a thread of the store's choosing (not necessarily the main thread), and never for this
//   process's own setData(). Handlers connect with Qt::DirectConnection and re-read their own key.
class CloudKeyValueStore : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    struct StoredValue
    {
        enum class State { Absent, Present, Unreadable };
        State state = State::Absent;
        QByteArray bytes; // when Present
    };

    // A store that cannot fail to read may leave this as it is.
    virtual StoredValue valueForKey(const QString &key) const
    {
        std::optional<QByteArray> bytes = dataForKey(key);
        if (!bytes)
            return {};
        return {StoredValue::State::Present, std::move(*bytes)};
    }
    virtual std::optional<QByteArray> dataForKey(const QString &key) const = 0;
    virtual void setData(const QByteArray &data, const QString &key) = 0;
    // The keys that hold a value now, in no order; a store that cannot list them returns none.
    virtual QStringList keys() const { return {}; }
    // Asks the store to exchange changes with other devices soon; true when the request was taken.
    virtual bool synchronize() = 0;

Q_SIGNALS:
    void didChangeExternally();
};
