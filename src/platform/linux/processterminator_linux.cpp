#include "processterminator_linux.h"

#include "procreader_linux.h"

#include <QSet>

#include <csignal>
#include <sys/syscall.h>
#include <unistd.h>

ProcessTerminator::ProcessTerminator(const ProcReader &reader, std::optional<uint> user)
    : m_reader(reader)
    , m_uid(user.value_or(::getuid()))
    , m_selfPid(::getpid())
{
}

bool ProcessTerminator::isProtected(qint64 pid) const
{
    if (pid <= 1 || pid == m_selfPid)
        return true;
    // Ending a process this one runs under (the terminal it was started from, a wrapper) could
    // take the enforcement down with it.
    QSet<qint64> seen;
    for (qint64 ancestor = m_selfPid; ancestor > 1 && !seen.contains(ancestor);) {
        seen.insert(ancestor);
        const auto stat = m_reader.stat(ancestor);
        if (!stat)
            break;
        ancestor = stat->parentPid;
        if (ancestor == pid)
            return true;
    }
    return false;
}

bool ProcessTerminator::signal(qint64 pid, quint64 startTime, int signal) const
{
    if (pid <= 1 || pid == m_selfPid)
        return false;
    const int pidfd = int(::syscall(SYS_pidfd_open, pid_t(pid), 0u));
    if (pidfd < 0)
        return false;
    // The descriptor pins whichever process held the PID when it was opened; if /proc still shows
    // the expected start time and owner now, that process is the one meant.
    const auto stat = m_reader.stat(pid);
    const auto status = m_reader.status(pid);
    const bool same = stat && status && stat->startTime == startTime && !stat->isKernelThread
            && status->realUid == m_uid && status->effectiveUid == m_uid;
    const bool sent = same && ::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0u) == 0;
    ::close(pidfd);
    return sent;
}
