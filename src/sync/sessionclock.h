#pragma once

#include <QByteArray>
#include <QTimeZone>

#include <optional>

// The clocks that time sessions and schedules, and the small state that keeps their anchors
// across restarts of Vorn.
//
// Within one boot (same boot identifier) a session's time left is counted by the boot clock,
// which the user cannot set and which keeps counting through suspend; the wall clock, which the
// user can move, decides only across a reboot and for the local time of schedule windows.
class SessionClock
{
public:
    struct Reading
    {
        QByteArray bootID; // empty when unknown: the wall clock decides
        double boot = 0; // seconds since boot, suspend included
        double wall = 0; // seconds since 2001-01-01 00:00:00 UTC
        QTimeZone zone; // the computer's local time zone now
    };

    virtual ~SessionClock() = default;

    virtual Reading read() const = 0;
    // The stored anchors (opaque bytes); nothing when none are stored or they cannot be read.
    virtual std::optional<QByteArray> loadState() const = 0;
    // Replaces the stored anchors atomically; false when they could not be written.
    virtual bool saveState(const QByteArray &bytes) = 0;
};
