#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

#include <optional>

// The last value known to be on the broker, per key: the common ancestor that tells, after a
// time offline, which side changed a key. Kept under $XDG_STATE_HOME/vorn/sync/base/, one file
// per key, written atomically; the file ".broker" names the broker and user the values belong to,
// and a base of another broker or user is dropped.
class SyncBase
{
public:
    SyncBase(const QString &folder, const QString &brokerIdentity);

    std::optional<QByteArray> value(const QString &key) const;
    void setValue(const QString &key, const QByteArray &bytes);
    const QHash<QString, QByteArray> &values() const { return m_values; }

    static QString defaultFolder();

private:
    QString m_folder;
    QHash<QString, QByteArray> m_values;
};
