#pragma once

#include "systemlog.h"

// syslog(3), which the journal takes on a systemd system.
class LinuxSystemLog : public SystemLog
{
public:
    void notice(const QByteArray &line) override;
    // systemd names the stream it connects to the journal in JOURNAL_STREAM as
    // "<device>:<inode>", which a redirected standard error no longer matches.
    bool takesStandardError() const override;
};
