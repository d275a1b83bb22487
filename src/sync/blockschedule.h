#pragma once

#include <QByteArray>
#include <QList>
#include <QSet>
#include <QString>

#include <optional>

// One weekly window of a block schedule: on each of its days, from start to end in the
// computer's own local time. An end at or before the start lies on the next day (a window that
// crosses midnight belongs to the day it starts on).
struct ScheduleWindow
{
    QSet<int> days; // ISO days of the week, 1 (Monday) to 7 (Sunday); never empty
    int start = 0; // minutes after local midnight, 0 to 1439
    int end = 0; // minutes after local midnight, 0 to 1439, not equal to start
    QSet<QString> targetDeviceIDs;
    std::optional<bool> locked; // locked: the phone cannot pause the window

    friend bool operator==(const ScheduleWindow &, const ScheduleWindow &) = default;
};

// The weekly windows the phone publishes under "blockSchedule".
struct BlockSchedule
{
    QList<ScheduleWindow> windows;
    double updatedAt = 0; // seconds since 2001-01-01 00:00:00 UTC

    // Strict, as the block state: an object with "windows" (an array) and "updatedAt" (a finite
    // number); each window an object with "days" (a non-empty array of "mon" … "sun"), "start"
    // and "end" ("HH:MM", 00:00 to 23:59, not equal), "targetDeviceIDs" (an array of strings) and
    // optionally "locked" (a boolean). Any fault rejects the whole record; members with other
    // names are ignored.
    static std::optional<BlockSchedule> decode(const QByteArray &json);
    // Compact JSON in the same form; nothing when updatedAt is not finite.
    std::optional<QByteArray> encode() const;

    static QString dayName(int isoDay);
    static std::optional<int> minutesFromText(const QString &text); // "HH:MM"
    static QString textFromMinutes(int minutes);

    friend bool operator==(const BlockSchedule &, const BlockSchedule &) = default;
};
