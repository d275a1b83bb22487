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
// - Once a phone is paired here, a record is taken only when a paired phone signed it and its
//   updatedAt is newer than the last one taken under its key (the same record again changes
//   nothing); anything else is left with one log line. Phones are paired and unpaired only while
//   this session does not block. A recovery code (checked against the hash given at pairing)
//   unpairs every phone once the recovery wait has passed, counted as sessions are.
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

    // False (log says why) when refused: while blocking, or a key that is not P-256 SPKI.
    bool pair(const QByteArray &spkiDer, const QByteArray &recoverySalt,
              const QByteArray &recoveryHash, const SessionClock::Reading &now,
              QList<QByteArray> &log);
    bool unpair(const QString &fingerprint, const SessionClock::Reading &now,
                QList<QByteArray> &log);
    // Whether the code matched; the wait starts once.
    bool recover(const QString &code, double wait, const SessionClock::Reading &now,
                 QList<QByteArray> &log);
    qsizetype phoneCount() const { return m_phones.size(); }

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
    QHash<QString, QByteArray> m_phones; // SPKI DER by fingerprint
    QHash<QString, double> m_lastUpdatedAt; // by store key, of the last record taken
    QByteArray m_recoverySalt;
    QByteArray m_recoveryHash;
    std::optional<Deadline> m_recoveryEnd;
};
