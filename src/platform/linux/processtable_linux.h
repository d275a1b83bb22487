#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

#include <functional>
#include <optional>

class ProcReader;

// What /proc has said of each process of the user followed: its parent, start time and image,
// and what is known of its application. Kept current by cheap passes (the PIDs handed out since
// the last look, the young processes again, a full listing now and then); a process that changed
// its image is reported through the exec hook. What a pass notes is examined afterwards, parents
// first, never from inside another examination.
class ProcessTable
{
public:
    // What a process is known as: undecided until first examined; then its own (named by its
    // own evidence, kept through later execs) or inherited from the parent it was born under
    // (possibly none, an empty identifier). An own identifier is never empty.
    struct Identity
    {
        enum Source { Undecided, Inherited, Own };
        Source source = Undecided;
        QString bundleID;
    };

    struct Process
    {
        quint64 startTime = 0;
        qint64 parentPid = 0;
        qint64 birthParentPid = 0; // the parent when first seen; kept when it is reparented
        bool isOurs = false;
        qint64 firstSeenMs = -1; // -1: already running when the watcher started
        qint64 lastCheckMs = -1;
        quint32 listing = 0; // the last full listing that showed it
        QByteArray name;
        QString executable;
        Identity identity;
        // The birth parent's identifier when this one's was decided, for when that parent is gone.
        std::optional<QString> birthParentBundleID;
        QString program; // what it exec'd itself; empty for a fork child that has not exec'd
        QByteArray scope; // the application unit of its cgroup, read when it is announced
        bool announced = false;
        std::optional<QString> announcedBundleID;

        // Seen inside an execve: its image is read again once it has settled.
        void clearImage()
        {
            name.clear();
            executable.clear();
        }
    };

    enum class Probe { Missing, Thread, Known, Added };

    ProcessTable(const ProcReader &reader, uint uid);

    // Called with each known process of the user seen to have exec'd since its last look.
    void setExecHook(std::function<void(qint64 pid)> hook) { m_execHook = std::move(hook); }

    // Takes the first listing: the processes that count as already running.
    void start();
    // The PIDs handed out since the last pass, and those not visible yet at it.
    void probeNewPids();
    // Every process in /proc; those that have ended are dropped.
    void listAll(bool initial);
    bool isListingDue() const;
    // Looks at a PID not known, or known by another process that held it before.
    Probe probe(qint64 pid, bool initial);
    // Whether the PID is in the table, probed first when it is not.
    bool lookUp(qint64 pid)
    {
        return m_processes.contains(pid) || probe(pid, false) == Probe::Added;
    }
    // The young processes again (all, or those due), for an exec or a new parent.
    void recheckYoung(bool all);
    // The executable of every older process, for one running a while before its exec.
    void recheckExecutables();
    // Another user's process that may have switched to this user.
    void recheckUser(qint64 pid);

    // Looked at often again for the next seconds, as after its fork.
    void keepYoung(qint64 pid);
    // Between the switch to the new image and the set-up of its arguments.
    bool isMidExec(qint64 pid) const;
    bool isAlive(qint64 pid) const;
    // The innermost application unit of its cgroup; empty when it runs in none.
    QByteArray scopeOf(qint64 pid) const;
    void noteForkParent(qint64 child, qint64 parent) { m_forkParents.insert(child, parent); }

    // While sweeping, the processes started or changed are collected for the safety net.
    void setSweeping(bool sweeping);
    void markForSweep(qint64 pid);
    // Notes the processes collected that are alive (another user's are looked at again), once
    // recheck lets them: false leaves one for the next sweep (it is inside an execve).
    void sweep(const std::function<bool(qint64 pid)> &recheck);

    // Deferred examination: noted now, examined in rounds, parents first.
    void note(qint64 pid) { m_noted.append(pid); }
    void examineNoted(const std::function<void(qint64 pid)> &examine);

    bool contains(qint64 pid) const { return m_processes.contains(pid); }
    Process value(qint64 pid) const { return m_processes.value(pid); }
    const Process *find(qint64 pid) const;
    Process &operator[](qint64 pid) { return m_processes[pid]; }
    const QHash<qint64, Process> &processes() const { return m_processes; }

private:
    void forget(qint64 pid);
    void addYoung(qint64 pid);

    const ProcReader &m_reader;
    uint m_uid = 0;
    std::function<void(qint64)> m_execHook;
    QHash<qint64, Process> m_processes;
    QSet<qint64> m_young;
    // PIDs handed out but not visible in /proc when probed: the kernel publishes the last PID a
    // moment before the new task can be looked up, so they get one more look at the next pass.
    QList<qint64> m_unseen;
    QHash<qint64, qint64> m_forkParents; // from the connector: child -> parent, until probed
    QList<qint64> m_noted; // probed or exec'd since the last examination
    QSet<qint64> m_sweepPending;
    bool m_sweeping = false;
    qint64 m_lastPid = -1;
    qint64 m_pidMax = 0;
    qint64 m_lastListingMs = 0;
    quint32 m_listing = 0;
    quint64 m_startTicks = 0; // processes that started before this were already running
};
