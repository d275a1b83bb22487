#include "systemlog_linux.h"

#include <QList>

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

void LinuxSystemLog::notice(const QByteArray &line)
{
    // The line holds data: it goes in as an argument, never as the format.
    syslog(LOG_NOTICE, "%s", line.constData());
}

bool LinuxSystemLog::takesStandardError() const
{
    const QList<QByteArray> parts = qgetenv("JOURNAL_STREAM").split(':');
    if (parts.size() != 2)
        return false;
    bool deviceOk = false;
    bool inodeOk = false;
    const qulonglong device = parts[0].toULongLong(&deviceOk);
    const qulonglong inode = parts[1].toULongLong(&inodeOk);
    struct stat status = {};
    if (!deviceOk || !inodeOk || ::fstat(STDERR_FILENO, &status) != 0)
        return false;
    return qulonglong(status.st_dev) == device && qulonglong(status.st_ino) == inode;
}
