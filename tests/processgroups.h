#pragma once

#include <QList>
#include <QProcess>

#include <csignal>
#include <unistd.h>

// Children that a test starts, each the leader of a process group of its own, so that the test
// can end everything they started too (a shell's children, a script's background jobs), even once
// the leader itself is gone. Killed at the latest when this object goes, also after a failed check.
class ProcessGroups
{
public:
    ProcessGroups() = default;
    ProcessGroups(const ProcessGroups &) = delete;
    ProcessGroups &operator=(const ProcessGroups &) = delete;
    ~ProcessGroups() { killAll(); }

    // Starts `process` as a group leader and keeps its group; false when it did not start.
    bool start(QProcess &process, const QString &program, const QStringList &arguments)
    {
        process.setChildProcessModifier([] { ::setpgid(0, 0); });
        process.start(program, arguments);
        if (!process.waitForStarted(5000))
            return false;
        m_groups.append(pid_t(process.processId()));
        return true;
    }

    // SIGKILL to every member of every group started so far.
    void killAll()
    {
        for (const pid_t group : std::as_const(m_groups))
            ::kill(-group, SIGKILL);
        m_groups.clear();
    }

private:
    QList<pid_t> m_groups;
};
