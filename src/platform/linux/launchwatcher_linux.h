#pragma once

#include "appidentityresolver_linux.h"
#include "processterminator_linux.h"
#include "procreader_linux.h"
#include "runningapplication.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

class AppIdentityResolver;
class ApplicationIndex;
class ExecDoorbell;
class LearnedPrograms;
class ProcessConnector;
class ProgramIdentityMatcher;
class QTimer;

// Follows the processes of this user and notices each new running application: a process whose
// identifier differs from that of the parent it was born under (see AppIdentityResolver; a
// process none of its rules names belongs to the application of that parent). A process named by
// its own evidence keeps its identifier through later execs, even into another application's
// program; one without takes what its new program gives.
//
// All members run on the watcher's own thread; the workspace reaches it with queued or
// blocking-queued calls. applicationLaunched() is emitted on that thread, once per root of an
// application's process tree (again if the root later execs into another application).
class LaunchWatcher : public QObject
{
    Q_OBJECT

public:
    struct Options
    {
        QString procRoot = QStringLiteral("/proc");
        // Where the installed application entries are; unset means the XDG folders.
        std::optional<QStringList> applicationFolders;
        bool useProcessConnector = true;
        // p99 of a launch seen only by the poll is about one period; 75 ms keeps it under 110 ms
        // with room for a loaded machine, at about a dozen wake-ups a second.
        int pollIntervalMs = 75;
        // The safety net: how often, while it is on, missed launches are looked for.
        int sweepIntervalMs = 2000;
        // Where learned programs are kept; unset means $XDG_CACHE_HOME/vorn.
        std::optional<QString> learnedProgramsFile;
        // The user whose processes are followed and ended; unset means this process's real user.
        std::optional<uint> user;
    };

    explicit LaunchWatcher(const Options &options, QObject *parent = nullptr);
    ~LaunchWatcher() override;

    // Takes the first listing (the processes that count as already running), then starts the
    // poll, the doorbells and, when allowed, the process connector.
    void start();

    QList<RunningApplication> runningApplications();
    // Kills the rest of an application whose root has just been killed: every descendant that
    // shares its identifier (helpers, fork children), and none of another application it started.
    // rootChildren: the root's children as read just before it died.
    void terminateHelpers(const RunningApplication &application, const QList<qint64> &rootChildren);
    void setWatchedBundleIDs(const QSet<QString> &bundleIDs);
    // While on, the processes started since the last sweep and those whose identifier may have
    // changed are examined again every sweepIntervalMs, and a root not yet announced is announced.
    void setSafetyNetEnabled(bool enabled);

    bool usesProcessConnector() const { return m_connector != nullptr; }
    QStringList doorbellPrograms() const;
    // The programs of each watched application: those the index names, those learned, and the
    // files a Flatpak or a Snap deploys.
    QHash<QString, QStringList> watchedPrograms() const;

Q_SIGNALS:
    void applicationLaunched(const RunningApplication &application);

private:
    // What a process is known as: undecided until first examined; then its own (named by its
    // own evidence, kept through later execs) or inherited from the parent it was born under
    // (possibly none, an empty identifier).
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
    };

    struct Root
    {
        qint64 pid = 0;
        quint64 startTime = 0;
        QByteArray name;
        QString executable;
        QString bundleID;
    };

    enum class Probe { Missing, Thread, Known, Added };

    void poll();
    void scan();
    void probeNewPids();
    void listAll(bool initial);
    Probe probe(qint64 pid, bool initial);
    void recheckYoung(bool all);
    void recheckExecutables();
    void recheckUser(qint64 pid);
    void sweep();
    void learn(const QString &previous, const QString &current, const QString &bundleID);
    bool isAlive(qint64 pid) const;
    QByteArray scopeOf(qint64 pid) const;
    std::optional<QString> parentIdentity(qint64 pid);
    std::optional<Root> endedLookalikeRoot(qint64 pid) const;
    bool isMidExec(qint64 pid) const;
    void noticeExec(qint64 pid);
    void examineNoted();
    void examine(qint64 pid);
    std::optional<QString> identity(qint64 pid);
    void decide(qint64 pid);
    bool isRoot(qint64 pid);
    RunningApplication application(qint64 pid) const;
    void rearmDoorbells();
    void ringDoorbell(const QStringList &opened);
    void noteScriptRings(const QStringList &opened);
    QString scriptOwner(qint64 pid, const std::optional<AppIdentityResolver::Program> &running);
    void followUp();
    void lookAtContent(qint64 pid, const QString &program);
    void contentMatched(qint64 pid, quint64 startTime, const QString &bundleID);
    void updateContentMatching();
    QString inheritedIdentity(qint64 pid) const;
    void forget(qint64 pid);

    Options m_options;
    ProcReader m_reader;
    ProcessTerminator m_terminator;
    std::unique_ptr<ApplicationIndex> m_index;
    std::unique_ptr<LearnedPrograms> m_learned;
    std::unique_ptr<AppIdentityResolver> m_resolver;
    ExecDoorbell *m_doorbell = nullptr;
    ProcessConnector *m_connector = nullptr;
    ProgramIdentityMatcher *m_matcher = nullptr;
    QTimer *m_pollTimer = nullptr;
    QTimer *m_followUpTimer = nullptr;
    QTimer *m_sweepTimer = nullptr;
    QSet<qint64> m_sweepPending;
    QList<qint64> m_noted; // probed or exec'd since the last examination
    QHash<QString, QSet<QString>> m_scriptTargets; // entry scripts with a bell: what they exec
    QHash<QString, quint64> m_scriptRings; // when their bells rang (ticks since boot)
    QHash<qint64, qint64> m_forkParents; // from the connector: child -> parent, until probed
    QList<Root> m_recentRoots; // the last roots announced, newest last
    QSet<QString> m_searchPath; // canonical PATH folders: shared programs, never learned
    int m_followUpStep = 0;
    bool m_eventsLost = false;
    quint64 m_notices = 0;

    QHash<qint64, Process> m_processes;
    QSet<qint64> m_young;
    // PIDs handed out but not visible in /proc when probed: the kernel publishes the last PID a
    // moment before the new task can be looked up, so they get one more look at the next pass.
    QList<qint64> m_unseen;
    QSet<QString> m_watchedBundleIDs;
    qint64 m_lastPid = -1;
    qint64 m_pidMax = 0;
    qint64 m_lastListingMs = 0;
    quint32 m_listing = 0;
    quint64 m_startTicks = 0; // processes that started before this were already running
    uint m_uid = 0;
    qint64 m_selfPid = 0;
};
