// Implementation notes
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

#include "launchwatcher_linux.h"

#include "applicationindex_linux.h"
#include "deployedprograms_linux.h"
#include "execdoorbell_linux.h"
#include "identitytracker_linux.h"
#include "learnedprograms_linux.h"
#include "processconnector_linux.h"
#include "programidentitymatcher_linux.h"
#include "treekiller_linux.h"

#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <array>
#include <functional>
#include <utility>

#include <unistd.h>

namespace {

// Times of the follow-up scans after a doorbell, in ms from the ring.
constexpr std::array<int, 7> followUpMs{1, 2, 4, 8, 16, 32, 64};
constexpr int recheckExecutablesAtStep = 4;
constexpr qint64 burstNs = 3000000;
constexpr useconds_t burstStepUs = 150;

} // namespace

LaunchWatcher::LaunchWatcher(const Options &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_reader(options.procRoot)
    , m_terminator(m_reader, options.user)
    , m_table(m_reader, options.user.value_or(::getuid()))
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
    IdentityTracker::Hooks hooks;
    hooks.takeQueuedRings = std::bind_front(&LaunchWatcher::takeQueuedRings, this);
    hooks.learned = std::bind_front(&LaunchWatcher::rearmDoorbells, this);
    m_tracker = std::make_unique<IdentityTracker>(m_table, m_reader, *m_index, *m_learned,
                                                  m_scriptBells, hooks);
    m_table.setExecHook([this](qint64 pid) { m_tracker->noticeExec(pid); });
    connect(m_index.get(), &ApplicationIndex::changed, this, [this, pruneLearned] {
        pruneLearned();
        m_tracker->applicationsChanged();
        rearmDoorbells();
    });
    if (m_options.useProcessConnector) {
        auto *connector = new ProcessConnector(this);
        if (connector->open()) {
            m_connector = connector;
            connect(connector, &ProcessConnector::executed, this, [this](qint64 pid) {
                m_tracker->noticeExec(pid);
                examineNoted();
            });
            connect(connector, &ProcessConnector::forked, this,
                    [this](qint64 parent, qint64 child) { m_table.noteForkParent(child, parent); });
            connect(connector, &ProcessConnector::eventsLost, this, [this] {
                m_eventsLost = true;
                m_table.listAll(false);
                examineNoted();
            });
        } else {
            delete connector;
        }
    }
    m_doorbell = new ExecDoorbell(this);
    connect(m_doorbell, &ExecDoorbell::rang, this, &LaunchWatcher::ringDoorbell);
    m_matcher = new ProgramIdentityMatcher(m_options.procRoot, this);
    m_tracker->setContentMatcher(m_matcher);
    connect(m_matcher, &ProgramIdentityMatcher::matched, this,
            [this](qint64 pid, quint64 startTime, const QString &bundleID) {
                if (m_tracker->namedByContent(pid, startTime, bundleID))
                    examineNoted();
            });

    m_table.start();
    m_pollTimer->start();
}

void LaunchWatcher::poll()
{
    // The connector reports every exec, so young processes need no second look; after lost
    // events they all get one.
    m_table.probeNewPids();
    if (!m_connector || m_eventsLost)
        m_table.recheckYoung(m_eventsLost);
    m_eventsLost = false;
    if (m_table.isListingDue())
        m_table.listAll(false);
    examineNoted();
}

void LaunchWatcher::scan()
{
    m_table.probeNewPids();
    m_table.recheckYoung(true);
    examineNoted();
}

void LaunchWatcher::sweep()
{
    // However a launch was missed (a look that fell between a fork and its exec, a user switch
    // after the young period, an application that could be named only later), a root still
    // running is announced now; one that was announced under its identifier is not again.
    m_table.probeNewPids();
    m_table.sweep([this](qint64 pid) { return m_tracker->recheck(pid); });
    examineNoted();
}

void LaunchWatcher::setSafetyNetEnabled(bool enabled)
{
    if (enabled == m_sweepTimer->isActive())
        return;
    m_table.setSweeping(enabled);
    if (enabled)
        m_sweepTimer->start();
    else
        m_sweepTimer->stop();
    updateContentMatching();
}

void LaunchWatcher::examineNoted()
{
    m_table.examineNoted([this](qint64 pid) { examine(pid); });
}

void LaunchWatcher::examine(qint64 pid)
{
    const auto id = m_tracker->identity(pid);
    if (!id || id->isEmpty() || !m_tracker->isRoot(pid))
        return;
    if (m_table[pid].announced && m_table[pid].announcedBundleID == *id)
        return;
    // A process that has already ended is no launch to report.
    if (!m_table.isAlive(pid))
        return;
    const QByteArray scope = m_table.scopeOf(pid);
    ProcessTable::Process &process = m_table[pid];
    process.scope = scope;
    process.announced = true;
    process.announcedBundleID = *id;
    m_tracker->rememberRoot(pid, *id);
    ++m_notices;
    Q_EMIT applicationLaunched(application(pid));
}

RunningApplication LaunchWatcher::application(qint64 pid) const
{
    const ProcessTable::Process process = m_table.value(pid);
    return {pid, process.startTime, process.identity.bundleID};
}

QList<RunningApplication> LaunchWatcher::runningApplications()
{
    scan();
    m_table.listAll(false);
    examineNoted();
    QList<RunningApplication> result;
    const QList<qint64> pids = m_table.processes().keys();
    for (const qint64 pid : pids) {
        if (m_table[pid].isOurs && m_tracker->isRoot(pid) && !m_tracker->identity(pid)->isEmpty()
            && m_table.isAlive(pid))
            result.append(application(pid));
    }
    std::sort(result.begin(), result.end(), [](const auto &a, const auto &b) {
        return a.startTime != b.startTime ? a.startTime < b.startTime : a.pid < b.pid;
    });
    // Processes of one application unit (a helper that outlived its parent in the application's
    // scope) are that application once, under its oldest root.
    QSet<std::pair<QString, QByteArray>> scopes;
    result.removeIf([&](const RunningApplication &application) {
        const QByteArray scope = m_table[application.pid].scope = m_table.scopeOf(application.pid);
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
    const QByteArray scope = m_table.value(application.pid).scope;
    scan();
    TreeKiller(m_table, *m_tracker, m_reader, m_terminator)
            .killHelpers(application, rootChildren, scope);
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
    QHash<QString, QSet<QString>> scriptTargets;
    for (const QString &id : std::as_const(m_watchedBundleIDs)) {
        const QStringList own
                = m_index->programsForBundleID(id) + m_learned->programsForBundleID(id);
        // With the connector, every exec is reported anyway.
        if (!m_connector)
            programs += own + DeployedPrograms::forBundleID(id);
        // Another entry's script that execs one of them is that entry's application, but only
        // while the script runs, often for less than a millisecond: its bell tells a process
        // that is first seen running the program already (ScriptBells).
        for (const QString &program : own) {
            for (const QString &script : m_index->scriptsExecuting(program)) {
                programs += script;
                scriptTargets[script].insert(program);
            }
        }
    }
    m_scriptBells.setTargets(scriptTargets);
    m_doorbell->setPrograms(programs);
    updateContentMatching();
}

void LaunchWatcher::ringDoorbell(const QStringList &opened)
{
    m_scriptBells.noteRings(opened);
    if (m_connector)
        return;
    // The bell rings inside execve. A launcher script runs for well under a millisecond before
    // it execs the binary that nothing names, and only while it runs does the process show what
    // it is; so the first few milliseconds are watched closely, then the timer takes over.
    const quint64 noticesBefore = m_notices;
    QElapsedTimer burst;
    burst.start();
    for (;;) {
        scan();
        if (m_notices != noticesBefore || burst.nsecsElapsed() >= burstNs)
            break;
        ::usleep(burstStepUs);
    }
    startFollowUps();
}

void LaunchWatcher::takeQueuedRings()
{
    // The scans a queued ring asks for follow the examination under way.
    const ExecDoorbell::Openings queued = m_doorbell->takeOpenings();
    m_scriptBells.noteRings(queued.programs);
    if (queued.any && !m_connector)
        startFollowUps();
}

void LaunchWatcher::startFollowUps()
{
    m_followUpStep = 0;
    m_followUpTimer->start(followUpMs[0]);
}

void LaunchWatcher::followUp()
{
    scan();
    if (m_followUpStep == recheckExecutablesAtStep) {
        m_table.recheckExecutables();
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
    // A copy started before blocking is closed as well.
    if (!wasActive && m_matcher->isActive())
        m_tracker->lookAtAllContent();
}
