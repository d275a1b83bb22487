#pragma once

#include "sessionclock.h"

#include <QString>

// Implementation notes: the boot identifier is /proc/sys/kernel/random/boot_id, new at every
// boot; the boot clock is CLOCK_BOOTTIME, which counts through suspend and which no user can set.
// The time zone is asked afresh at every reading (Qt notices a changed TZ or /etc/localtime).
// The anchors live in <state folder>/session.json, a private file replaced atomically.
class LinuxSessionClock : public SessionClock
{
public:
    // stateFile: the anchors' file; bootIDFile: where the boot identifier is read.
    explicit LinuxSessionClock(const QString &stateFile,
                               const QString &bootIDFile
                               = QStringLiteral("/proc/sys/kernel/random/boot_id"));

    Reading read() const override;
    std::optional<QByteArray> loadState() const override;
    bool saveState(const QByteArray &bytes) override;

private:
    QString m_stateFile;
    QByteArray m_bootID; // read once: it cannot change while this process runs
};
