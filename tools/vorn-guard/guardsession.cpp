#include "guardsession.h"

#include <QJsonDocument>

bool GuardSession::receive(const QString &key, const QByteArray &json, const QString &deviceID,
                           const SessionClock::Reading &now, QList<QByteArray> &log)
{
    if (key == scheduleKey) {
        if (!BlockSchedule::decode(json))
            return false;
    } else if (key != blockStateKey || !SyncedBlockState::decode(json)) {
        return false;
    }
    if (!deviceID.isEmpty() && deviceID != m_deviceID) {
        if (m_deviceID.isEmpty() || !evaluate(now, log).blocking)
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

QJsonObject GuardSession::encode() const
{
    QJsonObject records;
    for (auto it = m_records.cbegin(); it != m_records.cend(); ++it)
        records.insert(it.key(), QString::fromUtf8(it.value()));
    return QJsonObject{
            {QLatin1String("deviceID"), m_deviceID},
            {QLatin1String("records"), records},
            {QLatin1String("state"), QJsonDocument::fromJson(m_state.encode()).object()},
    };
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
    return session;
}
