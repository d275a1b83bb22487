#include "sessionrules.h"

#include "referencedate.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

using Reading = SessionClock::Reading;

Deadline deadlineAt(double wall, const Reading &now)
{
    return {wall, now.boot + (wall - now.wall)};
}

double remaining(const Deadline &deadline, const Reading &now)
{
    return deadline.boot - now.boot;
}

// Within one boot the anchors stand; after a reboot (or with no boot identifier) each deadline
// is anchored afresh by its wall-clock time.
void settle(SessionState &state, const Reading &now, QList<QByteArray> &log)
{
    if (state.bootID != now.bootID || now.bootID.isEmpty()) {
        for (std::optional<Deadline> *deadline :
             {&state.phoneEnd, &state.lockEnd, &state.windowEnd})
            if (*deadline)
                **deadline = deadlineAt((*deadline)->wall, now);
        state.bootID = now.bootID;
    }
    if (state.lockEnd && remaining(*state.lockEnd, now) <= 0)
        state.lockEnd.reset();
    if (state.phoneBlocking && state.phoneEnd && remaining(*state.phoneEnd, now) <= 0) {
        log.append("Blocking ended "
                   + SessionRules::localText(now.wall + remaining(*state.phoneEnd, now), now)
                             .toUtf8());
        state.phoneBlocking = false;
        state.phoneEnd.reset();
        state.lockEnd.reset();
    }
    if (!state.phoneBlocking)
        state.lockEnd.reset();
    if (state.windowEnd && remaining(*state.windowEnd, now) <= 0)
        state.windowEnd.reset();
    if (!state.windowEnd)
        state.windowLocked = false;
}

// A time of day on a local date as a wall-clock time; a time that the zone skips (the hour a
// clock springs forward) becomes the first minute after the gap.
double localMoment(QDate date, int minutes, const QTimeZone &zone)
{
    for (int step = 0; step < 24 * 60; ++step) {
        const int at = minutes + step;
        const QDateTime moment(date.addDays(at / 1440), QTime(0, 0).addSecs((at % 1440) * 60),
                               zone);
        if (moment.isValid())
            return double(moment.toMSecsSinceEpoch()) / 1000.0 - ReferenceDate::unixOffset;
    }
    return std::numeric_limits<double>::infinity();
}

struct Occurrence
{
    double start = 0;
    double end = 0;
    bool locked = false;
};

// Every occurrence of the windows that name this computer whose start lies from the day before
// today to a week ahead, local time.
QList<Occurrence> occurrences(const BlockSchedule &schedule, const QString &deviceID,
                              const Reading &now)
{
    const QDate today = ReferenceDate::toDateTime(now.wall).toTimeZone(now.zone).date();
    QList<Occurrence> found;
    for (const ScheduleWindow &window : schedule.windows) {
        if (!window.targetDeviceIDs.contains(deviceID))
            continue;
        for (int offset = -1; offset <= 7; ++offset) {
            const QDate day = today.addDays(offset);
            if (!window.days.contains(day.dayOfWeek()))
                continue;
            const QDate endDay = window.end > window.start ? day : day.addDays(1);
            found.append({localMoment(day, window.start, now.zone),
                          localMoment(endDay, window.end, now.zone),
                          window.locked.value_or(false)});
        }
    }
    return found;
}

// Whether the phone's applied "off" pauses a window that started at `start`.
bool pausedByPhone(const SessionState &state, const QString &deviceID, double start, bool locked)
{
    return !locked && state.applied && !state.applied->isBlocking
            && state.applied->targetDeviceIDs.contains(deviceID)
            && state.applied->updatedAt >= start;
}

struct PhoneSession
{
    bool blocking = false;
    std::optional<Deadline> end;
    std::optional<Deadline> lockEnd;
};

PhoneSession sessionFor(const SyncedBlockState &record, const Reading &now)
{
    PhoneSession session;
    session.blocking = record.isBlocking && !(record.endsAt && *record.endsAt <= now.wall);
    if (!session.blocking)
        return session;
    if (record.endsAt)
        session.end = deadlineAt(*record.endsAt, now);
    if (record.locked.value_or(false)) {
        const double lockWall
                = std::min(record.endsAt.value_or(record.updatedAt + SessionRules::maxLock),
                           record.updatedAt + SessionRules::maxLock);
        if (lockWall > now.wall)
            session.lockEnd = deadlineAt(lockWall, now);
    }
    return session;
}

// Whether the new session keeps blocking here at least as long as the running one. A second's
// grace allows for the phone's and this computer's clocks counting apart.
bool keepsSession(const PhoneSession &next, const SessionState &state)
{
    if (!next.blocking)
        return false;
    if (!next.end)
        return true;
    return state.phoneEnd && next.end->boot >= state.phoneEnd->boot - 1.0;
}

QJsonValue deadlineJson(const std::optional<Deadline> &deadline)
{
    return deadline ? QJsonValue(QJsonArray{deadline->wall, deadline->boot}) : QJsonValue();
}

bool readDeadline(const QJsonValue &value, std::optional<Deadline> &deadline)
{
    if (value.isUndefined() || value.isNull())
        return true;
    const QJsonArray pair = value.toArray();
    if (pair.size() != 2 || !pair[0].isDouble() || !pair[1].isDouble())
        return false;
    deadline = Deadline{pair[0].toDouble(), pair[1].toDouble()};
    return true;
}

} // namespace

QByteArray SessionState::encode() const
{
    QJsonObject object{{QStringLiteral("bootID"), QString::fromLatin1(bootID)},
                       {QStringLiteral("phoneBlocking"), phoneBlocking},
                       {QStringLiteral("phoneEnd"), deadlineJson(phoneEnd)},
                       {QStringLiteral("lockEnd"), deadlineJson(lockEnd)},
                       {QStringLiteral("windowEnd"), deadlineJson(windowEnd)},
                       {QStringLiteral("windowStart"), windowStart},
                       {QStringLiteral("windowLocked"), windowLocked}};
    if (applied) {
        if (const std::optional<QByteArray> record = applied->encode())
            object.insert(QStringLiteral("applied"), QJsonDocument::fromJson(*record).object());
    }
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

std::optional<SessionState> SessionState::decode(const QByteArray &bytes)
{
    const QJsonObject object = QJsonDocument::fromJson(bytes).object();
    SessionState state;
    if (!object.value(QStringLiteral("bootID")).isString()
        || !object.value(QStringLiteral("phoneBlocking")).isBool()
        || !readDeadline(object.value(QStringLiteral("phoneEnd")), state.phoneEnd)
        || !readDeadline(object.value(QStringLiteral("lockEnd")), state.lockEnd)
        || !readDeadline(object.value(QStringLiteral("windowEnd")), state.windowEnd))
        return std::nullopt;
    state.bootID = object.value(QStringLiteral("bootID")).toString().toLatin1();
    state.phoneBlocking = object.value(QStringLiteral("phoneBlocking")).toBool();
    state.windowStart = object.value(QStringLiteral("windowStart")).toDouble();
    state.windowLocked = object.value(QStringLiteral("windowLocked")).toBool();
    const QJsonValue applied = object.value(QStringLiteral("applied"));
    if (applied.isObject())
        state.applied = SyncedBlockState::decode(QJsonDocument(applied.toObject()).toJson());
    return state;
}

namespace SessionRules {

void applyRecord(SessionState &state, const SyncedBlockState &record, bool namesThisDevice,
                 const Reading &now, QList<QByteArray> &log)
{
    settle(state, now, log);
    if (state.applied == record)
        return;
    const bool lockRuns = state.phoneBlocking && state.lockEnd;
    const bool names = namesThisDevice;
    if (!names && !lockRuns)
        return; // not for this computer: nothing changes
    const PhoneSession next = sessionFor(record, now);
    if (lockRuns && (!names || !keepsSession(next, state))) {
        if (state.heldBack != record)
            log.append("Locked until "
                       + localText(now.wall + remaining(*state.lockEnd, now), now).toUtf8()
                       + ": a block state that would end or shorten the session is not applied "
                         "before then");
        state.heldBack = record;
        return;
    }
    state.heldBack.reset();
    std::optional<Deadline> lockEnd = next.lockEnd;
    if (lockRuns && (!lockEnd || lockEnd->boot < state.lockEnd->boot))
        lockEnd = state.lockEnd;
    state.phoneBlocking = next.blocking;
    state.phoneEnd = next.end;
    state.lockEnd = next.blocking ? lockEnd : std::nullopt;
    state.applied = record;
}

SessionDecision evaluate(SessionState &state, const std::optional<BlockSchedule> &schedule,
                         const QString &deviceID, const Reading &now, QList<QByteArray> &log)
{
    settle(state, now, log);
    if (state.windowEnd && pausedByPhone(state, deviceID, state.windowStart, state.windowLocked)) {
        state.windowEnd.reset();
        state.windowLocked = false;
    }

    constexpr double never = std::numeric_limits<double>::infinity();
    double nextStart = never;
    if (schedule) {
        for (const Occurrence &occurrence : occurrences(*schedule, deviceID, now)) {
            if (occurrence.start > now.wall) {
                nextStart = std::min(nextStart, occurrence.start);
                continue;
            }
            if (occurrence.end <= now.wall
                || pausedByPhone(state, deviceID, occurrence.start, occurrence.locked))
                continue;
            if (!state.windowEnd || occurrence.end - now.wall > remaining(*state.windowEnd, now)) {
                state.windowEnd = deadlineAt(occurrence.end, now);
                state.windowStart = occurrence.start;
                state.windowLocked = occurrence.locked || state.windowLocked;
            } else if (occurrence.locked) {
                state.windowLocked = true;
            }
        }
    }
    SessionDecision decision;
    const double phoneLeft = !state.phoneBlocking ? -never
            : state.phoneEnd                      ? remaining(*state.phoneEnd, now)
                                                  : never;
    const double windowLeft = state.windowEnd ? remaining(*state.windowEnd, now) : -never;
    decision.blocking = state.phoneBlocking || state.windowEnd;
    if (decision.blocking) {
        decision.reason = phoneLeft >= windowLeft ? SessionDecision::Reason::phone
                                                  : SessionDecision::Reason::schedule;
        const double left = std::max(phoneLeft, windowLeft);
        if (left < never)
            decision.until = now.wall + left;
    }
    const bool phoneLocked = state.phoneBlocking && state.lockEnd;
    const bool windowLocked = state.windowEnd && state.windowLocked;
    decision.locked = phoneLocked || windowLocked;
    if (decision.locked)
        decision.lockedUntil = now.wall
                + std::max(phoneLocked ? remaining(*state.lockEnd, now) : 0.0,
                           windowLocked ? windowLeft : 0.0);

    double next = nextStart - now.wall;
    for (const std::optional<Deadline> &deadline : {state.phoneEnd, state.lockEnd, state.windowEnd})
        if (deadline)
            next = std::min(next, remaining(*deadline, now));
    if (next < never)
        decision.nextChange = std::max(next, 0.0);
    return decision;
}

std::optional<double> wallClockJump(const Reading &before, const Reading &after)
{
    if (before.bootID.isEmpty() || before.bootID != after.bootID)
        return std::nullopt;
    const double moved = (after.wall - before.wall) - (after.boot - before.boot);
    if (std::abs(moved) < 2.0)
        return std::nullopt;
    return moved;
}

QString localText(double wall, const Reading &now)
{
    return ReferenceDate::toDateTime(wall).toTimeZone(now.zone).toString(
            QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

} // namespace SessionRules
