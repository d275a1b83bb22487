#pragma once

#include <QtGlobal>

#include <csignal>
#include <optional>

class ProcReader;

// Sends SIGKILL (or SIGSTOP) through a pidfd, and only to a process this program may end: one of
// this user (real and effective), not a kernel thread, not PID 1, not this process and not one of
// the processes it runs under. Safe to use from any thread with a reader of its own.
class ProcessTerminator
{
public:
    // The user whose processes may be ended: this process's real user unless given.
    explicit ProcessTerminator(const ProcReader &reader, std::optional<uint> user = std::nullopt);

    // False, and nothing sent, unless the PID still names the process that started at startTime.
    bool kill(qint64 pid, quint64 startTime) const { return signal(pid, startTime, SIGKILL); }
    // Stops it: it can start nothing more, and its children stay its own until it is killed.
    bool stop(qint64 pid, quint64 startTime) const { return signal(pid, startTime, SIGSTOP); }
    // This process and its ancestors, PID 1 and below: never to be ended, whatever they are.
    bool isProtected(qint64 pid) const;

private:
    bool signal(qint64 pid, quint64 startTime, int signal) const;

    const ProcReader &m_reader;
    uint m_uid = 0;
    qint64 m_selfPid = 0;
};
