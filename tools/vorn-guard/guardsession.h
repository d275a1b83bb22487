#pragma once

#include "sessionrules.h"

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

// What the guard keeps of the records a user's Vorn forwarded ("syncedBlockState" and
// "blockSchedule", as received) and of the session they time, by the rules Vorn applies itself
// (SessionRules), on the guard's own reading of the clocks. Once a user's Vorn forwarded a
// record, that user's blocking follows these records alone: a client that says "off" while they
// say "blocking" changes nothing, and a session ends on time with no client at all.
//
// Promises:
// - A record that does not decode, or under another key, changes nothing.
// - The computer's identifier is the first one a record came with; another one is taken only
//   while this session does not block, so that a record cannot be made to miss this computer
//   during a session.
// - A record that a lock held back applies once the lock is over, with no new record.
class GuardSession
{
public:
    static inline const QString blockStateKey = QStringLiteral("syncedBlockState");
    static inline const QString scheduleKey = QStringLiteral("blockSchedule");

    // Takes a forwarded record; false (log says why, when it matters) when it was not taken.
    bool receive(const QString &key, const QByteArray &json, const QString &deviceID,
                 const SessionClock::Reading &now, QList<QByteArray> &log);
    SessionDecision evaluate(const SessionClock::Reading &now, QList<QByteArray> &log);

    const QString &deviceID() const { return m_deviceID; }

    QJsonObject encode() const;
    // Nothing when the object is not a session this program wrote.
    static std::optional<GuardSession> decode(const QJsonObject &object);

    friend bool operator==(const GuardSession &a, const GuardSession &b)
    {
        return a.encode() == b.encode();
    }

private:
    QString m_deviceID;
    QHash<QString, QByteArray> m_records; // by store key, as last received
    SessionState m_state;
};
