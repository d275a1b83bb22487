#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <optional>

// The key-value store shared by the user's devices. Values are byte blobs under string keys.
//
// Promises:
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

    virtual std::optional<QByteArray> dataForKey(const QString &key) const = 0;
    virtual void setData(const QByteArray &data, const QString &key) = 0;
    // Asks the store to exchange changes with other devices soon; true when the request was taken.
    virtual bool synchronize() = 0;

Q_SIGNALS:
    void didChangeExternally();
};
