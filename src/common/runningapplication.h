#pragma once

#include <QMetaType>
#include <QString>

// One running application: the root process of an application's process tree.
struct RunningApplication
{
    qint64 pid = 0;
    // Kernel start time of the process (clock ticks since boot), so that a reused PID is never
    // mistaken for the application it names.
    quint64 startTime = 0;
    // The application's bundle identifier (desktop-file ID without ".desktop"); empty when the
    // process could not be identified. Such an application is never closed.
    QString bundleIdentifier;

    bool hasBundleIdentifier() const { return !bundleIdentifier.isEmpty(); }
};

Q_DECLARE_METATYPE(RunningApplication)
