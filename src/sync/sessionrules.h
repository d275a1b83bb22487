#pragma once

#include "blockschedule.h"
#include "sessionclock.h"
#include "syncedblockstate.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// One instant on both clocks: its wall-clock time and the boot-clock time it falls on.
struct Deadline
{
    double wall = 0;
    double boot = 0;
    friend bool operator==(const Deadline &, const Deadline &) = default;
};

// What a computer keeps of the phone's state and of the schedule window it is in, with the
// anchors that time them (stored by the session clock as JSON).
struct SessionState
{
    QByteArray bootID; // the boot the deadlines' boot times belong to
    bool phoneBlocking = false; // the phone's applied state, schedule aside
    std::optional<Deadline> phoneEnd; // none: blocking has no end
    std::optional<Deadline> lockEnd; // none: not locked
    std::optional<SyncedBlockState> applied; // the record this state came from
    std::optional<Deadline> windowEnd; // the schedule window running now, if any
    double windowStart = 0; // its start, wall clock
    bool windowLocked = false;
    // Not stored: a record a lock held back, so that it is logged once.
    std::optional<SyncedBlockState> heldBack;

    QByteArray encode() const;
    // Nothing when the bytes are not a state this program wrote.
    static std::optional<SessionState> decode(const QByteArray &bytes);
};

struct SessionDecision
{
    enum class Reason { none, phone, schedule };

    bool blocking = false;
    std::optional<double> until; // wall clock, seconds since 2001; none: no end known
    bool locked = false;
    // When the lock ends, wall clock: the session's end, or sooner when a lock's 24 hours end
    // first; none when not locked.
    std::optional<double> lockedUntil;
    Reason reason = Reason::none;
    // Seconds until the decision may change by itself (an end, a lock's end, a window's start);
    // none: only a new record or schedule changes it.
    std::optional<double> nextChange;

    friend bool operator==(const SessionDecision &, const SessionDecision &) = default;
};

// The rules of timed, locked and scheduled blocking, as pure functions of the state, the records
// and one clock reading. Each appends the log lines it means to be written to `log`.
//
// - A record with endsAt blocks until then and stops by itself; one whose endsAt has passed
//   applies as off. A lock lasts until endsAt, and at most 24 hours from the record's updatedAt.
// - While a lock runs, a record that would end or shorten the session here (off, an earlier end,
//   no longer naming this computer) is held back; one that extends it applies.
// - The same record applied again changes nothing: a session keeps the time its clock gives it.
// - A schedule window that names this computer blocks from its start to its end in local time.
//   An "off" from the phone during an unlocked window (its updatedAt inside the window) pauses it
//   until its end. Once entered, a window's end is anchored on the boot clock, so that moving the
//   clock or the time zone cannot shorten it; a later local end extends it.
namespace SessionRules {

constexpr double maxLock = 24 * 3600;

// namesThisDevice: whether the record's targets hold this computer's identifier.
void applyRecord(SessionState &state, const SyncedBlockState &record, bool namesThisDevice,
                 const SessionClock::Reading &now, QList<QByteArray> &log);

SessionDecision evaluate(SessionState &state, const std::optional<BlockSchedule> &schedule,
                         const QString &deviceID, const SessionClock::Reading &now,
                         QList<QByteArray> &log);

// By how many seconds the wall clock moved against the boot clock between two readings of one
// boot; nothing for a difference under two seconds or across a reboot.
std::optional<double> wallClockJump(const SessionClock::Reading &before,
                                    const SessionClock::Reading &after);

// "yyyy-MM-dd HH:mm:ss" in the reading's time zone.
QString localText(double wall, const SessionClock::Reading &now);

} // namespace SessionRules
