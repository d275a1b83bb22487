#pragma once

#include <QDateTime>

// Points in time in the cloud records are seconds since 2001-01-01 00:00:00 UTC, with fraction.
namespace ReferenceDate {

// Seconds between the Unix epoch and 2001-01-01 00:00:00 UTC.
inline constexpr double unixOffset = 978307200.0;

inline double now()
{
    return double(QDateTime::currentMSecsSinceEpoch()) / 1000.0 - unixOffset;
}

// Any stored number converts: out-of-range values clamp to what QDateTime can hold.
inline QDateTime toDateTime(double secondsSinceReferenceDate)
{
    constexpr double limit = 8.0e15; // milliseconds, well inside QDateTime's range
    double msecs = (secondsSinceReferenceDate + unixOffset) * 1000.0;
    if (!(msecs > -limit))
        msecs = -limit;
    else if (msecs > limit)
        msecs = limit;
    return QDateTime::fromMSecsSinceEpoch(qint64(msecs), Qt::UTC);
}

} // namespace ReferenceDate
