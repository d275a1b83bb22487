#pragma once

#include <QByteArray>

// The system's log, where the enforcement's lines go. Under systemd or a desktop launcher
// standard error is often the system log already: then a line goes to the log only, so that
// each closed application is logged once.
class SystemLog
{
public:
    virtual ~SystemLog() = default;

    virtual void notice(const QByteArray &line) = 0;
    // Whether this process's standard error already reaches the system log.
    virtual bool takesStandardError() const = 0;
};
