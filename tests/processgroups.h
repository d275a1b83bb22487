#pragma once

#include <QFile>
#include <QProcess>
#include <QTest>

#include <memory>
#include <vector>

#include <csignal>
#include <unistd.h>

// Children a test starts, each leading its own process group, so that everything they started
// goes too, even once the leader is gone: at the latest with this object, also after a failure.
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
        m_groups.push_back(pid_t(process.processId()));
        return true;
    }

    // A new process kept here until killAll(), not started yet.
    QProcess &keep() { return *m_processes.emplace_back(std::make_unique<QProcess>()); }

    // Starts a process kept here until killAll(); its PID is 0 when it did not start.
    QProcess &launch(const QString &program, const QStringList &arguments = {"60"})
    {
        QProcess &process = keep();
        if (!start(process, program, arguments))
            qWarning() << "could not start" << program << process.errorString();
        return process;
    }

    // SIGKILL to every member of every group started so far; the processes started here go.
    void killAll()
    {
        for (const pid_t group : m_groups)
            ::kill(-group, SIGKILL);
        m_groups.clear();
        for (const auto &process : m_processes)
            process->waitForFinished(5000);
        m_processes.clear();
    }

    // A field of /proc/<pid>/stat after the name, from 0: 0 state, 1 parent, 19 start time.
    static QByteArray statField(qint64 pid, int index)
    {
        QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
        const QByteArray text = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        return text.mid(text.lastIndexOf(')') + 2).split(' ').value(index);
    }
    static qint64 parentOf(qint64 pid) { return statField(pid, 1).toLongLong(); }
    static quint64 startTimeOf(qint64 pid) { return statField(pid, 19).toULongLong(); }
    static bool isGone(qint64 pid)
    {
        return QByteArrayList{"", "Z", "X"}.contains(statField(pid, 0));
    }
    static QString exeOf(qint64 pid)
    {
        return QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid));
    }

private:
    std::vector<pid_t> m_groups;
    std::vector<std::unique_ptr<QProcess>> m_processes;
};
