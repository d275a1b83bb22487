// Implementation notes
//
// Reading every process at every tick is far too dear (about 15 ms per pass at 570 processes, 80
// at 2,000), so the poll is gated: each tick reads the last PID the kernel handed out (loadavg)
// and probes only the PIDs allocated since, which also catches a reused PID. A process is first
// seen right after its fork, before it execs, so processes younger than two seconds are looked
// at again on every tick; one that changed its image (name or executable) is resolved again. A
// full listing every few seconds drops the processes that ended and catches anything a gap let
// through (a burst larger than the probe range, an unreadable loadavg).
//
// Doorbells make the applications of the block list fast: an inotify IN_OPEN watch on their
// programs fires as execve opens the file, before the new image runs, so the ring starts a scan
// and a short series of follow-up scans (1 to 64 ms later) that see the process once the exec
// has completed. A follow-up also looks at the executable of every older process, for a process
// that has been running for a while and then execs a watched program.
//
// With CAP_NET_ADMIN the kernel's process connector reports every exec as it completes; the poll
// stays on underneath, so a lost event costs latency and never a launch. Doorbells are not armed
// then: they add nothing, and their scans would only hold up the events (a launcher script's
// exec event handled after its next exec can no longer show the script).
//
// Limit of the unprivileged path: a launcher script named by an entry that execs a binary no
// entry names within a millisecond is identified only if a scan falls inside that millisecond
// (the doorbell's close watch makes that likely, not certain). A binary the script execs by a
// literal absolute path is indexed as the application's (ApplicationIndex), so only one reached
// through a variable depends on that look. Launched from a desktop, such an application is
// identified anyway by its systemd scope or its launch environment.
//
// Identity: a process takes the identifier its own evidence gives (AppIdentityResolver); one
// without any belongs to the application of the parent it was born under (a fork child before its
// exec, a helper that nothing names), and an exec that leaves a process unnamed keeps the
// identifier it had (a wrapper script that execs an unindexed binary). A root is a process whose
// identifier differs from its current parent's, or whose parent is not ours (another user, PID 1,
// a kernel thread).
//
// A program that nothing names may be a renamed copy of a blocked application's program: while
// blocking, its content is compared with theirs on another thread (ProgramIdentityMatcher), and a
// match names the process a moment later, as its own evidence would have.

#include "launchwatcher_linux.h"

#include "appidentityresolver_linux.h"
#include "applicationindex_linux.h"
#include "deployedprograms_linux.h"
#include "execdoorbell_linux.h"
#include "learnedprograms_linux.h"
#include "processconnector_linux.h"
#include "programidentitymatcher_linux.h"

#include <QDir>
#include <QFileInfo>
#include <QTimer>

#include <algorithm>
#include <array>
#include <ctime>
#include <utility>

#include <unistd.h>

namespace {

constexpr qint64 youngMs = 2000;
constexpr qint64 youngEveryTickMs = 500;
constexpr qint64 youngBackOffMs = 250;
constexpr qint64 listingPeriodMs = 5000;
// Past this many new PIDs since the last look, one directory listing is cheaper than probing.
constexpr qint64 probeRangeLimit = 4096;
// Times of the follow-up scans after a doorbell, in ms from the ring.
constexpr std::array<int, 7> followUpMs{1, 2, 4, 8, 16, 32, 64};
constexpr int recheckExecutablesAtStep = 4;
constexpr qint64 burstUs = 3000;
constexpr useconds_t burstStepUs = 150;
constexpr qsizetype maxRecentRoots = 32;
// How long, in clock ticks, a script's ring waits for the process that ran it.
constexpr quint64 scriptRingTicks = 200;

qint64 nowUs()
{
    timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

qint64 nowMs()
{
    return nowUs() / 1000;
}

} // namespace

LaunchWatcher::LaunchWatcher(const Options &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_reader(options.procRoot)
    , m_terminator(m_reader, options.user)
    , m_uid(options.user.value_or(::getuid()))
    , m_selfPid(::getpid())
{
    m_pollTimer = new QTimer(this);
    m_followUpTimer = new QTimer(this);
    m_sweepTimer = new QTimer(this);
    m_pollTimer->setTimerType(Qt::PreciseTimer);
    m_pollTimer->setInterval(m_options.pollIntervalMs);
    connect(m_pollTimer, &QTimer::timeout, this, &LaunchWatcher::poll);
    m_followUpTimer->setSingleShot(true);
    m_followUpTimer->setTimerType(Qt::PreciseTimer);
    connect(m_followUpTimer, &QTimer::timeout, this, &LaunchWatcher::followUp);
    m_sweepTimer->setInterval(m_options.sweepIntervalMs);
    connect(m_sweepTimer, &QTimer::timeout, this, &LaunchWatcher::sweep);
}

LaunchWatcher::~LaunchWatcher() = default;

void LaunchWatcher::start()
{
    m_index = std::make_unique<ApplicationIndex>(
            m_options.applicationFolders.value_or(XdgPaths::applicationFolders()));
    m_learned = std::make_unique<LearnedPrograms>(
            m_options.learnedProgramsFile.value_or(LearnedPrograms::defaultFile()));
    const auto pruneLearned = [this] {
        m_learned->prune([this](const QString &path) { return m_index->namesProgram(path); },
                         [this](const QString &id) { return m_index->hasApplication(id); });
    };
    pruneLearned();
    m_resolver = std::make_unique<AppIdentityResolver>(m_reader, m_index.get(), m_learned.get());
    // An application installed while it runs can now be named; a process already named keeps
    // its identifier, like it keeps it through an exec.
    connect(m_index.get(), &ApplicationIndex::changed, this, [this, pruneLearned] {
        pruneLearned();
        for (auto it = m_processes.begin(); it != m_processes.end(); ++it) {
            if (it->identity.bundleID.isEmpty())
                it->identity = {};
            if (it->isOurs && it->identity.source != Identity::Own && m_sweepTimer->isActive())
                m_sweepPending.insert(it.key());
        }
        rearmDoorbells();
    });
    for (const QString &folder : qEnvironmentVariable("PATH").split(QLatin1Char(':'))
                 + QStringList{"/usr/bin", "/bin", "/usr/sbin", "/sbin", "/usr/local/bin"}) {
        const QString canonical = QFileInfo(folder).canonicalFilePath();
        if (!canonical.isEmpty())
            m_searchPath.insert(canonical);
    }

    if (m_options.useProcessConnector) {
        auto *connector = new ProcessConnector(this);
        if (connector->open()) {
            m_connector = connector;
            connect(connector, &ProcessConnector::executed, this, [this](qint64 pid) {
                noticeExec(pid);
                examineNoted();
            });
            connect(connector, &ProcessConnector::forked, this,
                    [this](qint64 parent, qint64 child) { m_forkParents.insert(child, parent); });
            connect(connector, &ProcessConnector::eventsLost, this, [this] {
                m_eventsLost = true;
                listAll(false);
                examineNoted();
            });
        } else {
            delete connector;
        }
    }
    m_doorbell = new ExecDoorbell(this);
    connect(m_doorbell, &ExecDoorbell::rang, this, &LaunchWatcher::ringDoorbell);
    m_matcher = new ProgramIdentityMatcher(m_options.procRoot, this);
    connect(m_matcher, &ProgramIdentityMatcher::matched, this, &LaunchWatcher::contentMatched);

    m_pidMax = m_reader.pidMax();
    m_startTicks = m_reader.ticksSinceBoot();
    m_lastPid = m_reader.lastPid();
    listAll(true);

    m_pollTimer->start();
}

void LaunchWatcher::poll()
{
    // The connector reports every exec, so young processes need no second look; after lost
    // events they all get one.
    probeNewPids();
    if (!m_connector || m_eventsLost)
        recheckYoung(m_eventsLost);
    m_eventsLost = false;
    if (nowMs() - m_lastListingMs >= listingPeriodMs)
        listAll(false);
    examineNoted();
}

void LaunchWatcher::scan()
{
    probeNewPids();
    recheckYoung(true);
    examineNoted();
}

void LaunchWatcher::probeNewPids()
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

void LaunchWatcher::listAll(bool initial)
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

LaunchWatcher::Probe LaunchWatcher::probe(qint64 pid, bool initial)
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
        Process process;
        if (!initial) {
            process.firstSeenMs = process.lastCheckMs = nowMs();
            m_young.insert(pid);
            if (m_sweepTimer->isActive())
                m_sweepPending.insert(pid);
        }
        m_processes.insert(pid, process);
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
    if (midExec) {
        process.name.clear();
        process.executable.clear();
    }
    if (initial)
        process.announced = true;
    else
        process.firstSeenMs = process.lastCheckMs = nowMs();
    forget(pid);
    m_processes.insert(pid, process);
    if (!initial && process.isOurs) {
        m_young.insert(pid);
        if (m_sweepTimer->isActive())
            m_sweepPending.insert(pid);
        if (!midExec)
            m_noted.append(pid);
    }
    return Probe::Added;
}

void LaunchWatcher::recheckYoung(bool all)
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
            noticeExec(pid);
        else
            m_noted.append(pid);
    }
}

// Between the switch to the new image (which changes the name and executable) and the set-up of
// its arguments, a process shows an empty command line; an interpreter seen then cannot show its
// script. Such a look does not count: the next one sees the change again, settled.
bool LaunchWatcher::isMidExec(qint64 pid) const
{
    return m_reader.commandLine(pid).isEmpty();
}

void LaunchWatcher::recheckExecutables()
{
    const QList<qint64> pids = m_processes.keys();
    for (const qint64 pid : pids) {
        const Process &process = m_processes[pid];
        if (m_young.contains(pid))
            continue;
        if (!process.isOurs)
            recheckUser(pid);
        else if (m_reader.executable(pid) != process.executable)
            noticeExec(pid);
    }
}

// The process has run execve (reported by the connector, or seen with a new image): its own
// evidence changed, so it is resolved again.
void LaunchWatcher::noticeExec(qint64 pid)
{
    // Read first: a launcher script shows what it is only until its own exec, a moment later.
    const std::optional<AppIdentityResolver::Program> running = m_resolver->program(pid);
    if (probe(pid, false) != Probe::Known)
        return; // new to us: probe() has noted it already, or it is gone or not a process
    if (!m_processes[pid].isOurs)
        return;
    if (const auto stat = m_reader.stat(pid)) {
        Process &process = m_processes[pid];
        process.name = stat->name;
        process.parentPid = stat->parentPid;
        process.executable = m_reader.executable(pid);
        // Read inside another execve: that one is looked at again once it has settled.
        if (!running) {
            process.name.clear();
            process.executable.clear();
        }
    }
    QString own = m_processes[pid].identity.source == Identity::Own ? QString()
                                                                    : scriptOwner(pid, running);
    if (own.isEmpty())
        own = m_resolver->bundleID(pid, running);
    lookAtContent(pid, running ? running->path : QString());
    Process &process = m_processes[pid];
    const QString previous = std::exchange(process.program, running ? running->path : QString());
    if (process.identity.source == Identity::Own && !process.identity.bundleID.isEmpty()) {
        // The launched entry is the application: UXTerm's script execs xterm and stays UXTerm.
        learn(previous, process.program, process.identity.bundleID);
    } else if (!own.isEmpty()) {
        process.identity = {Identity::Own, own};
    }
    // An image that nothing names keeps the identifier the process already had.
    if (process.firstSeenMs < 0 || nowMs() - process.firstSeenMs > youngMs) {
        process.firstSeenMs = process.lastCheckMs = nowMs();
        m_young.insert(pid);
    }
    if (m_sweepTimer->isActive())
        m_sweepPending.insert(pid);
    m_noted.append(pid);
}

// A program an application's own program execs, and that no entry names, is remembered as that
// application's (Chromium's script execs /usr/lib/chromium/chromium). Never a program of the
// search path: those are shared tools (uname, dirname) that a script may run as well.
void LaunchWatcher::learn(const QString &previous, const QString &current, const QString &bundleID)
{
    if (previous.isEmpty() || current.isEmpty() || previous == current)
        return;
    const bool fromOwnProgram = m_index->programsForBundleID(bundleID).contains(previous)
            || m_learned->bundleIDForProgram(previous) == bundleID;
    if (!fromOwnProgram || m_index->namesProgram(current)
        || ApplicationIndex::isSharedProgram(current)
        || m_searchPath.contains(QFileInfo(current).path()))
        return;
    const QString before = m_learned->bundleIDForProgram(current);
    m_learned->learn(current, bundleID);
    if (m_learned->bundleIDForProgram(current) != before)
        rearmDoorbells();
}

void LaunchWatcher::recheckUser(qint64 pid)
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

bool LaunchWatcher::isAlive(qint64 pid) const
{
    const auto stat = m_reader.stat(pid);
    const auto known = m_processes.constFind(pid);
    return stat && !stat->hasEnded() && known != m_processes.cend()
            && stat->startTime == known->startTime;
}

QByteArray LaunchWatcher::scopeOf(qint64 pid) const
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

void LaunchWatcher::sweep()
{
    // However a launch was missed (a look that fell between a fork and its exec, a user switch
    // after the young period, an application that could be named only later), a root still
    // running is announced now; one that was announced under its identifier is not again.
    probeNewPids();
    const QSet<qint64> pending = std::exchange(m_sweepPending, {});
    for (const qint64 pid : pending) {
        const auto found = m_processes.constFind(pid);
        if (found == m_processes.cend())
            continue;
        if (!found->isOurs) {
            recheckUser(pid);
            continue;
        }
        if (!isAlive(pid))
            continue;
        if (found->identity.source != Identity::Own) {
            const std::optional<AppIdentityResolver::Program> running = m_resolver->program(pid);
            if (!running) { // inside an execve: at the next sweep
                m_sweepPending.insert(pid);
                continue;
            }
            QString own = scriptOwner(pid, running);
            if (own.isEmpty())
                own = m_resolver->bundleID(pid, running);
            if (!own.isEmpty())
                m_processes[pid].identity = {Identity::Own, own};
        }
        m_noted.append(pid);
    }
    examineNoted();
}

void LaunchWatcher::setSafetyNetEnabled(bool enabled)
{
    if (enabled == m_sweepTimer->isActive())
        return;
    m_sweepPending.clear();
    if (enabled)
        m_sweepTimer->start();
    else
        m_sweepTimer->stop();
    updateContentMatching();
}

void LaunchWatcher::examineNoted()
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

void LaunchWatcher::examine(qint64 pid)
{
    const auto id = identity(pid);
    if (!id || id->isEmpty() || !isRoot(pid))
        return;
    if (m_processes[pid].announced && m_processes[pid].announcedBundleID == *id)
        return;
    // A process that has already ended is no launch to report.
    if (!isAlive(pid))
        return;
    const QByteArray scope = scopeOf(pid);
    Process &process = m_processes[pid];
    process.scope = scope;
    process.announced = true;
    process.announcedBundleID = *id;
    m_recentRoots.removeIf([pid](const Root &root) { return root.pid == pid; });
    m_recentRoots.append({pid, process.startTime, process.name, process.executable, *id});
    if (m_recentRoots.size() > maxRecentRoots)
        m_recentRoots.removeFirst();
    ++m_notices;
    Q_EMIT applicationLaunched(application(pid));
}

// The identity of a process, deciding it, and those of the undecided processes it was born
// under, oldest first. A loop, never a recursion: a line of unseen ancestors can be as long as the
// PID space allows.
std::optional<QString> LaunchWatcher::identity(qint64 pid)
{
    if (pid <= 0 || (!m_processes.contains(pid) && probe(pid, false) != Probe::Added))
        return std::nullopt;
    QList<qint64> undecided;
    QSet<qint64> visited;
    for (qint64 at = pid; !visited.contains(at);) {
        visited.insert(at);
        const Process &process = m_processes[at];
        if (!process.isOurs || process.identity.source != Identity::Undecided)
            break;
        undecided.append(at);
        const qint64 parentPid = process.birthParentPid;
        const quint64 startTime = process.startTime;
        if (parentPid <= 0
            || (!m_processes.contains(parentPid) && probe(parentPid, false) != Probe::Added)
            || m_processes[parentPid].startTime > startTime)
            break;
        at = parentPid;
    }
    for (auto it = undecided.crbegin(); it != undecided.crend(); ++it)
        decide(*it);
    const Process &process = m_processes[pid];
    return process.isOurs ? std::optional(process.identity.bundleID) : std::nullopt;
}

// Decides from the process's own evidence, else from the parent it was born under (decided
// before it).
void LaunchWatcher::decide(qint64 pid)
{
    // A parent that exec'd since its last look is looked at again first: its child may show
    // the new image, and the parent's new identifier is the one to compare with.
    // (A shell script that execs another keeps its executable: its name tells the exec.)
    const qint64 parentPid = m_processes.value(pid).birthParentPid;
    if (const auto parent = m_processes.constFind(parentPid);
        parent != m_processes.cend() && parent->isOurs && !parent->executable.isEmpty()) {
        const auto stat = m_reader.stat(parentPid);
        if (stat && stat->startTime == parent->startTime
            && (stat->name != parent->name || m_reader.executable(parentPid) != parent->executable)
            && !isMidExec(parentPid))
            noticeExec(parentPid);
    }

    // A fork child that has not exec'd yet shows its parent's image: it is the parent's.
    const Process child = m_processes[pid];
    const auto parent = m_processes.constFind(child.birthParentPid);
    const bool sameImage = parent != m_processes.cend() && parent->isOurs
            && parent->executable == child.executable && parent->name == child.name;
    // Born under an application root that has ended since, and handed to a new parent before
    // this first look: a fork child still showing that root's image is part of it.
    if (!sameImage && (parent == m_processes.cend() || parent->startTime > child.startTime)) {
        if (const std::optional<Root> root = endedLookalikeRoot(pid)) {
            Process &process = m_processes[pid];
            process.birthParentPid = root->pid;
            process.birthParentBundleID = root->bundleID;
            process.identity = {Identity::Inherited, root->bundleID};
            return;
        }
    }
    std::optional<AppIdentityResolver::Program> running;
    if (!sameImage)
        running = m_resolver->program(pid);
    // Looked at inside an execve since it was seen: decided without its program for now, and
    // resolved again when the next look sees the new image (a script's exec must meet its bell).
    if (!sameImage && !running) {
        Process &process = m_processes[pid];
        process.name.clear();
        process.executable.clear();
        if (process.firstSeenMs < 0 || nowMs() - process.firstSeenMs > youngMs)
            process.firstSeenMs = process.lastCheckMs = nowMs();
        m_young.insert(pid);
    }
    QString own = sameImage ? QString() : scriptOwner(pid, running);
    if (own.isEmpty() && !sameImage)
        own = m_resolver->bundleID(pid, running);
    if (!sameImage)
        lookAtContent(pid, running ? running->path : QString());
    const QString inherited = inheritedIdentity(pid);
    Process &process = m_processes[pid];
    process.birthParentBundleID = inherited;
    process.program = running ? running->path : QString();
    process.identity = own.isEmpty() ? Identity{Identity::Inherited, inherited}
                                     : Identity{Identity::Own, own};
}

// The entry whose script the process ran, when it is first seen running a program that the
// script execs and the script's doorbell rang after the process started: the look came too late
// to see the script, but the process is its entry's (UXTerm's script and xterm).
QString LaunchWatcher::scriptOwner(qint64 pid,
                                   const std::optional<AppIdentityResolver::Program> &running)
{
    if (!running || m_scriptTargets.isEmpty())
        return {};
    // A ring still queued counts; the scans it asks for follow this examination.
    const ExecDoorbell::Openings queued = m_doorbell->takeOpenings();
    noteScriptRings(queued.programs);
    if (queued.any && !m_connector) {
        m_followUpStep = 0;
        m_followUpTimer->start(followUpMs[0]);
    }
    const quint64 startTime = m_processes.value(pid).startTime;
    const quint64 now = m_reader.ticksSinceBoot();
    for (auto it = m_scriptRings.begin(); it != m_scriptRings.end();) {
        if (now > it.value() + scriptRingTicks) {
            it = m_scriptRings.erase(it);
            continue;
        }
        if (startTime <= it.value() && m_scriptTargets.value(it.key()).contains(running->path)) {
            const QString owner = m_index->bundleIDForProgram(it.key());
            m_scriptRings.erase(it);
            return owner;
        }
        ++it;
    }
    return {};
}

std::optional<LaunchWatcher::Root> LaunchWatcher::endedLookalikeRoot(qint64 pid) const
{
    const Process child = m_processes.value(pid);
    if (child.executable.isEmpty())
        return std::nullopt;
    for (auto it = m_recentRoots.crbegin(); it != m_recentRoots.crend(); ++it) {
        if (it->pid == pid || it->executable != child.executable || it->name != child.name
            || it->startTime > child.startTime)
            continue;
        const auto stat = m_reader.stat(it->pid);
        if (!stat || stat->hasEnded() || stat->startTime != it->startTime)
            return *it;
    }
    return std::nullopt;
}

// The identity of the process this one was born under; when that one is gone, or its PID names a
// younger process now, the one it had when last seen (empty when never seen).
QString LaunchWatcher::inheritedIdentity(qint64 pid) const
{
    const Process child = m_processes.value(pid);
    const auto parent = m_processes.constFind(child.birthParentPid);
    if (parent == m_processes.cend() || parent->startTime > child.startTime)
        return child.birthParentBundleID.value_or(QString());
    if (!parent->isOurs)
        return {};
    return parent->identity.bundleID;
}

// The identity of the parent the process was born under: a process handed to a new parent when
// its own ended (a launcher's helper, a double-forked crash handler) is still part of the
// application that started it. Nothing when that parent is another user's or unknown.
std::optional<QString> LaunchWatcher::parentIdentity(qint64 pid)
{
    const Process child = m_processes.value(pid);
    const qint64 parentPid = child.birthParentPid;
    if (parentPid > 0 && !m_processes.contains(parentPid))
        probe(parentPid, false);
    const auto parent = m_processes.constFind(parentPid);
    if (parent != m_processes.cend() && !parent->isOurs)
        return std::nullopt;
    if (parent != m_processes.cend() && parent->startTime <= child.startTime)
        return identity(parentPid);
    return child.birthParentBundleID; // that parent has gone
}

bool LaunchWatcher::isRoot(qint64 pid)
{
    const auto id = identity(pid);
    if (!id)
        return false;
    const auto parentID = parentIdentity(pid);
    return !parentID || *parentID != *id;
}

RunningApplication LaunchWatcher::application(qint64 pid) const
{
    const Process process = m_processes.value(pid);
    RunningApplication app;
    app.pid = pid;
    app.startTime = process.startTime;
    app.bundleIdentifier = process.identity.bundleID;
    return app;
}

void LaunchWatcher::forget(qint64 pid)
{
    m_young.remove(pid);
    m_processes.remove(pid);
}

QList<RunningApplication> LaunchWatcher::runningApplications()
{
    scan();
    listAll(false);
    examineNoted();
    QList<RunningApplication> result;
    const QList<qint64> pids = m_processes.keys();
    for (const qint64 pid : pids) {
        if (m_processes[pid].isOurs && isRoot(pid) && !identity(pid)->isEmpty() && isAlive(pid))
            result.append(application(pid));
    }
    std::sort(result.begin(), result.end(), [](const auto &a, const auto &b) {
        return a.startTime != b.startTime ? a.startTime < b.startTime : a.pid < b.pid;
    });
    // Processes of one application unit (a helper that outlived its parent in the application's
    // scope) are that application once, under its oldest root.
    QSet<std::pair<QString, QByteArray>> scopes;
    result.removeIf([&](const RunningApplication &application) {
        const QByteArray scope = m_processes[application.pid].scope = scopeOf(application.pid);
        if (scope.isEmpty())
            return false;
        const auto key = std::make_pair(application.bundleIdentifier, scope);
        const bool seen = scopes.contains(key);
        scopes.insert(key);
        return seen;
    });
    return result;
}

void LaunchWatcher::terminateHelpers(const RunningApplication &application,
                                     const QList<qint64> &rootChildren)
{
    const QByteArray scope = m_processes.value(application.pid).scope;
    scan();
    // Each descendant of the application is stopped before its own children are read, and all
    // are killed at the end, so none is handed to a new parent unseen. Processes also count as
    // children of the parent they were born under: a helper met after its parent ended.
    QHash<qint64, QList<qint64>> bornUnder;
    for (auto it = m_processes.cbegin(); it != m_processes.cend(); ++it) {
        if (it->isOurs)
            bornUnder[it->birthParentPid].append(it.key());
    }
    // The root's children were read while it was stopped, so they were born under it, even when
    // the kill handed them to a new parent before this watcher first saw them (the scan above,
    // or a pass before it, then took that parent for the one they were born under).
    for (const qint64 child : rootChildren) {
        if (child == m_selfPid
            || (!m_processes.contains(child) && probe(child, false) != Probe::Added))
            continue;
        Process &process = m_processes[child];
        if (!process.isOurs || process.startTime < application.startTime
            || process.birthParentPid == application.pid)
            continue;
        process.birthParentPid = application.pid;
        process.birthParentBundleID = application.bundleIdentifier;
        if (process.identity.source != Identity::Own)
            process.identity = {};
    }
    QList<std::pair<qint64, quint64>> tree{{application.pid, application.startTime}};
    QList<std::pair<qint64, quint64>> doomed{tree.constFirst()};
    QSet<qint64> visited{application.pid};
    for (qsizetype i = 0; i < tree.size(); ++i) {
        const auto [parent, parentStart] = tree.at(i);
        QList<qint64> children = bornUnder.value(parent) + m_reader.children(parent);
        if (i == 0)
            children += rootChildren;
        for (const qint64 child : std::as_const(children)) {
            if (child == m_selfPid || visited.contains(child))
                continue;
            visited.insert(child);
            if (!m_processes.contains(child) && probe(child, false) == Probe::Missing)
                continue;
            const quint64 startTime = m_processes.value(child).startTime;
            if (startTime < parentStart || !m_processes.value(child).isOurs)
                continue;
            tree.append({child, startTime});
            // Another application it started is left running.
            if (identity(child) == application.bundleIdentifier
                && m_terminator.stop(child, startTime))
                doomed.append({child, startTime});
        }
    }
    // The rest of the application's unit: helpers handed to another parent before this watcher
    // saw them born.
    if (!scope.isEmpty()) {
        const QList<qint64> pids = m_processes.keys();
        for (const qint64 pid : pids) {
            const Process process = m_processes.value(pid);
            if (process.isOurs && !visited.contains(pid) && pid != m_selfPid
                && identity(pid) == application.bundleIdentifier && scopeOf(pid) == scope)
                doomed.append({pid, process.startTime});
        }
    }
    for (const auto &[pid, startTime] : std::as_const(doomed))
        m_terminator.kill(pid, startTime);
    examineNoted();
}

void LaunchWatcher::setWatchedBundleIDs(const QSet<QString> &bundleIDs)
{
    m_watchedBundleIDs = bundleIDs;
    rearmDoorbells();
}

QStringList LaunchWatcher::doorbellPrograms() const
{
    return m_doorbell ? m_doorbell->watchedPrograms() : QStringList();
}

QHash<QString, QStringList> LaunchWatcher::watchedPrograms() const
{
    QHash<QString, QStringList> programs;
    for (const QString &id : std::as_const(m_watchedBundleIDs)) {
        programs.insert(id,
                        (m_index ? m_index->programsForBundleID(id) : QStringList())
                                + m_learned->programsForBundleID(id)
                                + DeployedPrograms::forBundleID(id));
    }
    return programs;
}

void LaunchWatcher::rearmDoorbells()
{
    if (!m_doorbell || !m_index)
        return;
    QStringList programs;
    m_scriptTargets.clear();
    for (const QString &id : std::as_const(m_watchedBundleIDs)) {
        const QStringList own
                = m_index->programsForBundleID(id) + m_learned->programsForBundleID(id);
        // With the connector, every exec is reported anyway.
        if (!m_connector)
            programs += own + DeployedPrograms::forBundleID(id);
        // Another entry's script that execs one of them is that entry's application, but only
        // while the script runs, often for less than a millisecond: its bell tells a process
        // that is first seen running the program already (scriptOwner()).
        for (const QString &program : own) {
            for (const QString &script : m_index->scriptsExecuting(program)) {
                programs += script;
                m_scriptTargets[script].insert(program);
            }
        }
    }
    m_doorbell->setPrograms(programs);
    updateContentMatching();
}

void LaunchWatcher::noteScriptRings(const QStringList &opened)
{
    for (const QString &program : opened) {
        if (m_scriptTargets.contains(program))
            m_scriptRings.insert(program, m_reader.ticksSinceBoot());
    }
}

void LaunchWatcher::ringDoorbell(const QStringList &opened)
{
    noteScriptRings(opened);
    if (m_connector)
        return;
    // The bell rings inside execve. A launcher script runs for well under a millisecond before
    // it execs the binary that nothing names, and only while it runs does the process show what
    // it is; so the first few milliseconds are watched closely, then the timer takes over.
    const quint64 noticesBefore = m_notices;
    const qint64 burstEnd = nowUs() + burstUs;
    for (;;) {
        scan();
        if (m_notices != noticesBefore || nowUs() >= burstEnd)
            break;
        ::usleep(burstStepUs);
    }
    m_followUpStep = 0;
    m_followUpTimer->start(followUpMs[0]);
}

void LaunchWatcher::followUp()
{
    scan();
    if (m_followUpStep == recheckExecutablesAtStep) {
        recheckExecutables();
        examineNoted();
    }
    ++m_followUpStep;
    if (m_followUpStep < int(followUpMs.size()))
        m_followUpTimer->start(followUpMs[m_followUpStep] - followUpMs[m_followUpStep - 1]);
}

void LaunchWatcher::updateContentMatching()
{
    if (!m_matcher)
        return;
    const bool wasActive = m_matcher->isActive();
    m_matcher->setPrograms(m_sweepTimer->isActive() ? watchedPrograms()
                                                    : QHash<QString, QStringList>());
    // A copy started before blocking is closed as well; the processes not decided yet are
    // compared when they are.
    if (!wasActive && m_matcher->isActive()) {
        for (auto it = m_processes.cbegin(); it != m_processes.cend(); ++it)
            lookAtContent(it.key(), it->program);
    }
}

// Programs the index or the learned programs name are known by path; only the others can be
// copies.
void LaunchWatcher::lookAtContent(qint64 pid, const QString &program)
{
    if (!m_matcher->isActive() || program.isEmpty() || m_index->namesProgram(program)
        || !m_learned->bundleIDForProgram(program).isEmpty())
        return;
    const auto found = m_processes.constFind(pid);
    if (found != m_processes.cend() && found->isOurs && !found->executable.isEmpty())
        m_matcher->lookAt(pid, found->startTime, found->executable);
}

void LaunchWatcher::contentMatched(qint64 pid, quint64 startTime, const QString &bundleID)
{
    const auto found = m_processes.find(pid);
    if (found == m_processes.end() || !found->isOurs || found->startTime != startTime
        || found->identity.bundleID == bundleID)
        return;
    found->identity = {Identity::Own, bundleID};
    // What it started before the match takes its identifier again, so it is closed with it.
    QSet<qint64> tree{pid};
    for (bool grew = true; grew;) {
        grew = false;
        for (auto it = m_processes.begin(); it != m_processes.end(); ++it) {
            if (it->isOurs && it->identity.source == Identity::Inherited
                && it->startTime >= startTime && tree.contains(it->birthParentPid)
                && !tree.contains(it.key())) {
                it->identity = {};
                tree.insert(it.key());
                grew = true;
            }
        }
    }
    m_noted.append(pid);
    examineNoted();
}
