#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QList>
#include <QString>

#include <optional>

// What /proc says about one process, read under a proc root that tests can replace with a folder
// of their own. Every read is a single open/read/close and fails soft: a process that has gone, a
// file that cannot be read (another user's environment) or a malformed file gives "nothing".
class ProcReader
{
public:
    struct Stat
    {
        qint64 parentPid = 0;
        quint64 startTime = 0; // clock ticks since boot
        bool isKernelThread = false;
        char state = 0; // 'Z' (zombie) and 'X' (dead): the process has ended
        QByteArray name; // comm: changes at every exec, to the name of the file executed

        bool hasEnded() const { return state == 'Z' || state == 'X'; }
    };

    struct Status
    {
        qint64 threadGroupID = 0; // differs from the PID for a thread that is not the main one
        uint realUid = 0;
        uint effectiveUid = 0;
    };

    explicit ProcReader(const QString &root = QStringLiteral("/proc"));
    ~ProcReader();
    ProcReader(const ProcReader &) = delete;
    ProcReader &operator=(const ProcReader &) = delete;

    QString root() const { return QString::fromLocal8Bit(m_root); }

    std::optional<Stat> stat(qint64 pid) const;
    std::optional<Status> status(qint64 pid) const;
    // The resolved /proc/PID/exe link, without the kernel's " (deleted)" mark; empty when unknown.
    QString executable(qint64 pid) const;
    QString workingFolder(qint64 pid) const;
    QByteArrayList commandLine(qint64 pid) const;
    // The NUL-separated NAME=value block the process was started with.
    QByteArray environment(qint64 pid) const;
    QByteArray cgroup(qint64 pid) const;
    // Contents of .flatpak-info at the root of the process's file system; empty outside Flatpak.
    QByteArray flatpakInfo(qint64 pid) const;

    // The PID most recently handed out (last field of loadavg), or -1 when it cannot be read.
    // Asked many times a second, so the file stays open and is read again from the start.
    qint64 lastPid() const;
    qint64 pidMax() const;
    // Clock ticks since boot now (uptime), comparable with Stat::startTime; 0 when unknown.
    quint64 ticksSinceBoot() const;
    QList<qint64> pids() const;
    // The processes its threads forked that have not ended or been handed to another parent.
    QList<qint64> children(qint64 pid) const;

    static std::optional<Stat> parseStat(const QByteArray &text);
    static std::optional<Status> parseStatus(const QByteArray &text);
    static std::optional<QByteArray> environmentValue(const QByteArray &environment,
                                                      const QByteArray &name);

private:
    QByteArray path(qint64 pid, const char *file) const;
    QString link(qint64 pid, const char *file) const;

    QByteArray m_root;
    mutable int m_loadavg = -1;
};
