// Implementation notes
//
// Reading every process at every tick is far too dear (about 15 ms per pass at 570 processes, 80
// at 2,000), so the passes are gated: each reads the last PID the kernel handed out (loadavg) and
// probes only the PIDs allocated since, which also catches a reused PID. A process is first seen
// right after its fork, before it execs, so processes younger than two seconds are looked at
// again on every tick; one that changed its image (name or executable) is reported as exec'd. A
// full listing every few seconds drops the processes that ended and catches anything a gap let
// through (a burst larger than the probe range, an unreadable loadavg).

#include "processtable_linux.h"

#include "appidentityresolver_linux.h"
#include "procreader_linux.h"

#include <algorithm>
#include <ctime>
#include <utility>

namespace {

constexpr qint64 youngMs = 2000;
constexpr qint64 youngEveryTickMs = 500;
constexpr qint64 youngBackOffMs = 250;
constexpr qint64 listingPeriodMs = 5000;
// Past this many new PIDs since the last look, one directory listing is cheaper than probing.
constexpr qint64 probeRangeLimit = 4096;

qint64 nowMs()
{
    timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

} // namespace

ProcessTable::ProcessTable(const ProcReader &reader, uint uid)
    : m_reader(reader)
    , m_uid(uid)
{
}

void ProcessTable::start()
{
    m_pidMax = m_reader.pidMax();
    m_startTicks = m_reader.ticksSinceBoot();
    m_lastPid = m_reader.lastPid();
    listAll(true);
}

void ProcessTable::probeNewPids()
{
    // One more look at the PIDs that were handed out but not visible yet at the last pass; by
    // now they are processes, threads, or gone.
    const QList<qint64> unseen = std::exchange(m_unseen, {});
    for (const qint64 pid : unseen)
        probe(pid, false);

    const qint64 last = m_reader.lastPid();
    if (last == m_lastPid && last >= 0)
        return;
    const qint64 count = last > m_lastPid ? last - m_lastPid : m_pidMax - 1 - m_lastPid + last;
    if (last < 0 || m_lastPid < 0 || count > probeRangeLimit || count <= 0) {
        m_lastPid = last;
        listAll(false);
        return;
    }
    qint64 pid = m_lastPid;
    m_lastPid = last;
    for (qint64 i = 0; i < count; ++i) {
        pid = pid + 1 >= m_pidMax ? 1 : pid + 1;
        if (probe(pid, false) == Probe::Missing)
            m_unseen.append(pid);
    }
}

void ProcessTable::listAll(bool initial)
{
    m_lastListingMs = nowMs();
    ++m_listing;
    const QList<qint64> pids = m_reader.pids();
    for (const qint64 pid : pids) {
        const auto found = m_processes.find(pid);
        if (found != m_processes.end())
            found->listing = m_listing;
        else if (probe(pid, initial) == Probe::Added)
            m_processes[pid].listing = m_listing;
    }
    m_forkParents.clear(); // every process alive has been probed by now
    for (auto it = m_processes.begin(); it != m_processes.end();) {
        if (it->listing == m_listing) {
            ++it;
        } else {
            m_young.remove(it.key());
            it = m_processes.erase(it);
        }
    }
}

bool ProcessTable::isListingDue() const
{
    return nowMs() - m_lastListingMs >= listingPeriodMs;
}

ProcessTable::Probe ProcessTable::probe(qint64 pid, bool initial)
{
    const auto status = m_reader.status(pid);
    if (!status)
        return Probe::Missing;
    if (status->threadGroupID != pid)
        return Probe::Thread;
    const auto known = m_processes.constFind(pid);
    const bool same = status->realUid == m_uid && status->effectiveUid == m_uid && pid != 1;
    if (!same) {
        // Another user's process is remembered, so that it is not probed again; while young it is
        // looked at again, for a switch to this user (setpriv, sudo -u, a launcher dropping root).
        if (known != m_processes.cend() && !known->isOurs)
            return Probe::Known;
        forget(pid);
        m_processes.insert(pid, Process());
        if (!initial)
            addYoung(pid);
        return Probe::Added;
    }
    const auto stat = m_reader.stat(pid);
    if (!stat)
        return Probe::Missing;
    if (known != m_processes.cend() && known->isOurs && known->startTime == stat->startTime)
        return Probe::Known;
    // A process met late (an unknown parent) that started before the watcher was running then.
    if (stat->startTime < m_startTicks)
        initial = true;

    Process process;
    process.startTime = stat->startTime;
    process.parentPid = process.birthParentPid = stat->parentPid;
    // The connector saw the fork: the real parent, even when it ended before this first look.
    if (const qint64 forkParent = m_forkParents.take(pid); forkParent > 0)
        process.birthParentPid = forkParent;
    process.name = stat->name;
    process.isOurs = !stat->isKernelThread;
    if (process.isOurs)
        process.executable = m_reader.executable(pid);
    // Looked at inside its execve: resolved at the next look, when its image has settled.
    const bool midExec = !initial && process.isOurs && isMidExec(pid);
    if (midExec)
        process.clearImage();
    process.announced = initial;
    forget(pid);
    m_processes.insert(pid, process);
    if (initial)
        return Probe::Added;
    if (!process.isOurs) {
        m_processes[pid].firstSeenMs = m_processes[pid].lastCheckMs = nowMs();
        return Probe::Added;
    }
    addYoung(pid);
    if (!midExec)
        note(pid);
    return Probe::Added;
}

void ProcessTable::addYoung(qint64 pid)
{
    Process &process = m_processes[pid];
    process.firstSeenMs = process.lastCheckMs = nowMs();
    m_young.insert(pid);
    markForSweep(pid);
}

void ProcessTable::keepYoung(qint64 pid)
{
    Process &process = m_processes[pid];
    if (process.firstSeenMs < 0 || nowMs() - process.firstSeenMs > youngMs)
        process.firstSeenMs = process.lastCheckMs = nowMs();
    m_young.insert(pid);
}

void ProcessTable::recheckYoung(bool all)
{
    const qint64 now = nowMs();
    const QList<qint64> young = m_young.values();
    for (const qint64 pid : young) {
        const auto found = m_processes.constFind(pid);
        if (found == m_processes.cend() || now - found->firstSeenMs > youngMs) {
            m_young.remove(pid);
            continue;
        }
        // Most execs follow their fork within milliseconds; after that the process is looked
        // at less often, which is most of the watcher's cost while other programs run.
        if (!all && now - found->firstSeenMs > youngEveryTickMs
            && now - found->lastCheckMs < youngBackOffMs)
            continue;
        if (!found->isOurs) {
            m_processes[pid].lastCheckMs = now;
            recheckUser(pid);
            continue;
        }
        const auto stat = m_reader.stat(pid);
        if (!stat || stat->startTime != found->startTime) {
            forget(pid);
            continue;
        }
        const QString executable = m_reader.executable(pid);
        Process &process = m_processes[pid];
        process.lastCheckMs = now;
        const bool execed = stat->name != process.name || executable != process.executable;
        const bool reparented = stat->parentPid != process.parentPid;
        if (!execed && !reparented)
            continue;
        if (execed && isMidExec(pid))
            continue;
        process.name = stat->name;
        process.executable = executable;
        process.parentPid = stat->parentPid;
        if (execed)
            m_execHook(pid);
        else
            note(pid);
    }
}

// Between the switch to the new image (which changes the name and executable) and the set-up of
// its arguments, a process shows an empty command line; an interpreter seen then cannot show its
// script. Such a look does not count: the next one sees the change again, settled.
bool ProcessTable::isMidExec(qint64 pid) const
{
    return m_reader.commandLine(pid).isEmpty();
}

void ProcessTable::recheckExecutables()
{
    const QList<qint64> pids = m_processes.keys();
    for (const qint64 pid : pids) {
        const Process &process = m_processes[pid];
        if (m_young.contains(pid))
            continue;
        if (!process.isOurs)
            recheckUser(pid);
        else if (m_reader.executable(pid) != process.executable)
            m_execHook(pid);
    }
}

void ProcessTable::recheckUser(qint64 pid)
{
    const auto status = m_reader.status(pid);
    if (!status) {
        forget(pid);
        return;
    }
    if (status->realUid == m_uid && status->effectiveUid == m_uid) {
        // Now this user's: looked at like a new process.
        forget(pid);
        probe(pid, false);
    }
}

bool ProcessTable::isAlive(qint64 pid) const
{
    const auto stat = m_reader.stat(pid);
    const auto known = m_processes.constFind(pid);
    return stat && !stat->hasEnded() && known != m_processes.cend()
            && stat->startTime == known->startTime;
}

QByteArray ProcessTable::scopeOf(qint64 pid) const
{
    // The innermost application unit of the cgroup; other paths say nothing about the application.
    for (const QByteArray &line : m_reader.cgroup(pid).split('\n')) {
        const qsizetype colon = line.lastIndexOf(':');
        const QByteArray path = colon < 0 ? QByteArray() : line.mid(colon + 1);
        if (!AppIdentityResolver::bundleIDFromCgroup("0::" + path).isEmpty())
            return path;
    }
    return {};
}

void ProcessTable::setSweeping(bool sweeping)
{
    m_sweeping = sweeping;
    m_sweepPending.clear();
}

void ProcessTable::markForSweep(qint64 pid)
{
    if (m_sweeping)
        m_sweepPending.insert(pid);
}

void ProcessTable::sweep(const std::function<bool(qint64)> &recheck)
{
    const QSet<qint64> pending = std::exchange(m_sweepPending, {});
    for (const qint64 pid : pending) {
        const auto found = m_processes.constFind(pid);
        if (found == m_processes.cend())
            continue;
        if (!found->isOurs)
            recheckUser(pid);
        else if (!isAlive(pid))
            continue;
        else if (!recheck(pid))
            m_sweepPending.insert(pid);
        else
            note(pid);
    }
}

void ProcessTable::examineNoted(const std::function<void(qint64)> &examine)
{
    // Parents first; what an examination notes (a parent that exec'd, an ancestor met on the way)
    // is examined in the next round, never from inside another examination.
    while (!m_noted.isEmpty()) {
        QList<qint64> noted = std::exchange(m_noted, {});
        std::sort(noted.begin(), noted.end(), [this](qint64 a, qint64 b) {
            const quint64 startA = m_processes.value(a).startTime;
            const quint64 startB = m_processes.value(b).startTime;
            return startA != startB ? startA < startB : a < b;
        });
        noted.erase(std::unique(noted.begin(), noted.end()), noted.end());
        for (const qint64 pid : std::as_const(noted)) {
            if (m_processes.contains(pid))
                examine(pid);
        }
    }
}

const ProcessTable::Process *ProcessTable::find(qint64 pid) const
{
    const auto found = m_processes.constFind(pid);
    return found == m_processes.cend() ? nullptr : &*found;
}

void ProcessTable::forget(qint64 pid)
{
    m_young.remove(pid);
    m_processes.remove(pid);
}
