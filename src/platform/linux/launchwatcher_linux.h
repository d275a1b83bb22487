#pragma once

#include "processtable_linux.h"
#include "processterminator_linux.h"
#include "procreader_linux.h"
#include "runningapplication.h"
#include "scriptbells_linux.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

class ApplicationIndex;
class ExecDoorbell;
class IdentityTracker;
class LearnedPrograms;
class ProcessConnector;
class ProgramIdentityMatcher;
class QTimer;

// Follows the processes of this user and notices each new running application: a root of an
// application's process tree, as IdentityTracker decides it over the ProcessTable. It keeps the
// table current (a poll, doorbells on the watched programs, the process connector, the safety
// net) and ends an application's tree with TreeKiller.
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
    void poll();
    void scan();
    void sweep();
    void examineNoted();
    void examine(qint64 pid);
    RunningApplication application(qint64 pid) const;
    void rearmDoorbells();
    void ringDoorbell(const QStringList &opened);
    void takeQueuedRings();
    void startFollowUps();
    void followUp();
    void updateContentMatching();

    Options m_options;
    ProcReader m_reader;
    ProcessTerminator m_terminator;
    ProcessTable m_table;
    ScriptBells m_scriptBells{m_reader};
    std::unique_ptr<ApplicationIndex> m_index;
    std::unique_ptr<LearnedPrograms> m_learned;
    std::unique_ptr<IdentityTracker> m_tracker;
    ExecDoorbell *m_doorbell = nullptr;
    ProcessConnector *m_connector = nullptr;
    ProgramIdentityMatcher *m_matcher = nullptr;
    QTimer *m_pollTimer = nullptr;
    QTimer *m_followUpTimer = nullptr;
    QTimer *m_sweepTimer = nullptr;
    QSet<QString> m_watchedBundleIDs;
    int m_followUpStep = 0;
    bool m_eventsLost = false;
    quint64 m_notices = 0;
};
