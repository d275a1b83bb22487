#include "guardsession.h"

#include "phonepairing.h"
#include "recordsignature.h"
#include "strictjson.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace {

QString base64(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toBase64());
}

QByteArray fromBase64(const QJsonValue &value)
{
    return QByteArray::fromBase64(value.toString().toLatin1());
}

double updatedAtOf(const QByteArray &json)
{
    const std::optional<QJsonValue> value = StrictJson::parse(json);
    return value ? value->toObject().value(QLatin1String("updatedAt")).toDouble() : 0;
}

} // namespace

bool GuardSession::receive(const QString &key, const QByteArray &json, const QString &deviceID,
                           const SessionClock::Reading &now, QList<QByteArray> &log)
{
    if (key == scheduleKey) {
        if (!BlockSchedule::decode(json))
            return false;
    } else if (key != blockStateKey || !SyncedBlockState::decode(json)) {
        return false;
    }
    const bool blocking = evaluate(now, log).blocking; // a recovery wait may end here
    if (!m_phones.isEmpty()) {
        if (m_records.value(key) == json)
            return true;
        const QJsonObject object = StrictJson::parse(json)->toObject();
        const double updatedAt = object.value(QLatin1String("updatedAt")).toDouble();
        if (!RecordSignature::verifiedSigner(key, object, m_phones)) {
            log.append(key.toUtf8() + " not signed by a paired phone; not applied");
            return false;
        }
        if (m_lastUpdatedAt.contains(key) && updatedAt <= m_lastUpdatedAt.value(key)) {
            log.append(key.toUtf8() + " not newer than the last one applied; not applied");
            return false;
        }
        m_lastUpdatedAt.insert(key, updatedAt);
    }
    if (!deviceID.isEmpty() && deviceID != m_deviceID) {
        if (m_deviceID.isEmpty() || !blocking)
            m_deviceID = deviceID;
        else
            log.append("a record came with another computer identifier while blocking; "
                       "the one it had stays");
    }
    m_records.insert(key, json);
    evaluate(now, log);
    return true;
}

SessionDecision GuardSession::evaluate(const SessionClock::Reading &now, QList<QByteArray> &log)
{
    if (m_recoveryEnd) {
        if (m_state.bootID != now.bootID || now.bootID.isEmpty())
            m_recoveryEnd->boot = now.boot + (m_recoveryEnd->wall - now.wall);
        if (m_recoveryEnd->boot <= now.boot) {
            log.append("recovery wait over: every phone unpaired");
            m_phones.clear();
            m_recoverySalt.clear();
            m_recoveryHash.clear();
            m_recoveryEnd.reset();
        }
    }
    // Applying the same record again changes nothing; one that a lock held back applies once the
    // lock is over.
    if (const std::optional<SyncedBlockState> record
        = SyncedBlockState::decode(m_records.value(blockStateKey))) {
        SessionRules::applyRecord(m_state, *record, record->targetDeviceIDs.contains(m_deviceID),
                                  now, log);
    }
    const std::optional<BlockSchedule> schedule
            = BlockSchedule::decode(m_records.value(scheduleKey));
    return SessionRules::evaluate(m_state, schedule, m_deviceID, now, log);
}

bool GuardSession::pair(const QByteArray &spkiDer, const QByteArray &recoverySalt,
                        const QByteArray &recoveryHash, const SessionClock::Reading &now,
                        QList<QByteArray> &log)
{
    // Vorn hands its phones over at every connection: one the guard holds already changes
    // nothing (a recovery under way goes on).
    if (!spkiDer.isEmpty() && m_phones.value(RecordSignature::fingerprint(spkiDer)) == spkiDer
        && m_recoverySalt == recoverySalt && m_recoveryHash == recoveryHash)
        return false;
    if (evaluate(now, log).blocking) {
        log.append("pairing refused while blocking");
        return false;
    }
    if (spkiDer.isEmpty())
        return false;
    const QString fingerprint = RecordSignature::fingerprint(spkiDer);
    m_phones.insert(fingerprint, spkiDer);
    m_recoverySalt = recoverySalt;
    m_recoveryHash = recoveryHash;
    m_recoveryEnd.reset();
    // A later record must be newer than the ones held now.
    for (auto it = m_records.cbegin(); it != m_records.cend(); ++it)
        m_lastUpdatedAt.insert(it.key(),
                               std::max(m_lastUpdatedAt.value(it.key()), updatedAtOf(it.value())));
    log.append("paired " + fingerprint.toUtf8());
    return true;
}

bool GuardSession::unpair(const QString &fingerprint, const SessionClock::Reading &now,
                          QList<QByteArray> &log)
{
    if (evaluate(now, log).blocking) {
        log.append("unpairing refused while blocking");
        return false;
    }
    if (m_phones.remove(fingerprint) == 0)
        return false;
    log.append("unpaired " + fingerprint.toUtf8());
    return true;
}

bool GuardSession::recover(const QString &code, double wait, const SessionClock::Reading &now,
                           QList<QByteArray> &log)
{
    if (m_phones.isEmpty() || m_recoveryHash.isEmpty()
        || PhonePairing::recoveryHash(code, m_recoverySalt) != m_recoveryHash) {
        log.append("a recovery code that does not match");
        return false;
    }
    if (!m_recoveryEnd) {
        m_recoveryEnd = Deadline{now.wall + wait, now.boot + wait};
        log.append("recovery started: every phone is unpaired at "
                   + SessionRules::localText(now.wall + wait, now).toUtf8());
    }
    return true;
}

QJsonObject GuardSession::encode() const
{
    QJsonObject records;
    for (auto it = m_records.cbegin(); it != m_records.cend(); ++it)
        records.insert(it.key(), QString::fromUtf8(it.value()));
    QJsonObject object{
            {QLatin1String("deviceID"), m_deviceID},
            {QLatin1String("records"), records},
            {QLatin1String("state"), QJsonDocument::fromJson(m_state.encode()).object()},
    };
    if (!m_phones.isEmpty() || m_recoveryEnd) {
        QJsonObject phones, last;
        for (auto it = m_phones.cbegin(); it != m_phones.cend(); ++it)
            phones.insert(it.key(), base64(it.value()));
        for (auto it = m_lastUpdatedAt.cbegin(); it != m_lastUpdatedAt.cend(); ++it)
            last.insert(it.key(), it.value());
        object.insert(QLatin1String("phones"), phones);
        object.insert(QLatin1String("lastUpdatedAt"), last);
        object.insert(QLatin1String("recovery"),
                      QJsonObject{{QLatin1String("salt"), base64(m_recoverySalt)},
                                  {QLatin1String("hash"), base64(m_recoveryHash)}});
        if (m_recoveryEnd)
            object.insert(QLatin1String("recoveryEnd"),
                          QJsonArray{m_recoveryEnd->wall, m_recoveryEnd->boot});
    }
    return object;
}

std::optional<GuardSession> GuardSession::decode(const QJsonObject &object)
{
    const std::optional<SessionState> state = SessionState::decode(
            QJsonDocument(object.value(QLatin1String("state")).toObject()).toJson());
    if (!state || !object.value(QLatin1String("deviceID")).isString())
        return std::nullopt;
    GuardSession session;
    session.m_state = *state;
    session.m_deviceID = object.value(QLatin1String("deviceID")).toString();
    const QJsonObject records = object.value(QLatin1String("records")).toObject();
    for (auto it = records.constBegin(); it != records.constEnd(); ++it)
        session.m_records.insert(it.key(), it.value().toString().toUtf8());
    const QJsonObject phones = object.value(QLatin1String("phones")).toObject();
    for (auto it = phones.constBegin(); it != phones.constEnd(); ++it)
        session.m_phones.insert(it.key(), fromBase64(it.value()));
    const QJsonObject last = object.value(QLatin1String("lastUpdatedAt")).toObject();
    for (auto it = last.constBegin(); it != last.constEnd(); ++it)
        session.m_lastUpdatedAt.insert(it.key(), it.value().toDouble());
    const QJsonObject recovery = object.value(QLatin1String("recovery")).toObject();
    session.m_recoverySalt = fromBase64(recovery.value(QLatin1String("salt")));
    session.m_recoveryHash = fromBase64(recovery.value(QLatin1String("hash")));
    const QJsonArray end = object.value(QLatin1String("recoveryEnd")).toArray();
    if (end.size() == 2)
        session.m_recoveryEnd = Deadline{end[0].toDouble(), end[1].toDouble()};
    return session;
}
