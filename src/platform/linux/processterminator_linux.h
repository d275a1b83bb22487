#pragma once

#include <QtGlobal>

class ProcReader;

// Sends SIGKILL through a pidfd, and only to a process this program may end: one of this user
// (real and effective), not a kernel thread, not PID 1, not this process and not one of the
// processes it runs under. Safe to use from any thread with a reader of its own.
class ProcessTerminator
{
public:
    explicit ProcessTerminator(const ProcReader &reader);

    // False, and nothing sent, unless the PID still names the process that started at startTime.
    bool kill(qint64 pid, quint64 startTime) const;
    // This process and its ancestors, PID 1 and below: never to be ended, whatever they are.
    bool isProtected(qint64 pid) const;

private:
    const ProcReader &m_reader;
    uint m_uid = 0;
    qint64 m_selfPid = 0;
};
