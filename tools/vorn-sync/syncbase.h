#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

#include <optional>

// The last value known to be on the broker, per key: the common ancestor that tells, after a
// time offline, which side changed a key. Kept under $XDG_STATE_HOME/vorn/sync/base/, one file
// per key holding the value, written atomically; the file ".broker" names the broker and user the
// values belong to, and a base of another broker or user is dropped. Only a digest of each value
// is held in memory.
//
// A value being sent is noted first (".sent-<key>", the digests of the values sent and not yet
// acknowledged): after a kill, a value the broker then holds that is one of them is
// known as this computer's own, not a change made elsewhere.
class SyncBase
{
public:
    SyncBase(const QString &folder, const QString &brokerIdentity);

    static QByteArray digestOf(const QByteArray &bytes);

    // The digest of the key's base value, or nothing when none is known.
    std::optional<QByteArray> digest(const QString &key) const;
    // True when it changed (and was written).
    bool setValue(const QString &key, const QByteArray &bytes);
    // Before bytes are sent for the key; false when the note could not be written.
    bool noteSending(const QString &key, const QByteArray &bytes);
    // Whether these bytes were sent for the key and not yet acknowledged.
    bool wasSent(const QString &key, const QByteArray &bytes) const;

    static QString defaultFolder();
    static inline const QByteArray tempPrefix = QByteArrayLiteral(".base-");

private:
    bool writeSent(const QString &key, const QByteArrayList &sent);

    QString m_folder;
    QHash<QString, QByteArray> m_digests;
    QHash<QString, QByteArrayList> m_sent; // per key, digests in the order sent
};
