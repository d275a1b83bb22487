#pragma once

#include "execguard_linux.h"
#include "launchwatcher_linux.h"
#include "processterminator_linux.h"
#include "procreader_linux.h"
#include "workspace.h"

#include <QList>
#include <QStringList>

#include <utility>

class QThread;
class QTimer;

// The Linux workspace: the running applications of this user read from /proc, launch notices
// from a watcher thread, forced termination through pidfds (see LaunchWatcher).
//
// The process connector is used when the kernel allows it (CAP_NET_ADMIN) unless the options
// turn it off or the environment sets VORN_NO_PROC_CONNECTOR=1; without it, launches are found by
// the gated /proc poll and the doorbells on the watched applications' programs. Where an exec
// guard runs, it is told the watched applications' programs and whether blocking is on.
class LinuxWorkspace : public Workspace
{
    Q_OBJECT

public:
    using Options = LaunchWatcher::Options;

    explicit LinuxWorkspace(QObject *parent = nullptr);
    explicit LinuxWorkspace(const Options &options, QObject *parent = nullptr);
    ~LinuxWorkspace() override;

    QList<RunningApplication> runningApplications() override;
    bool forceTerminate(const RunningApplication &application) override;
    void setWatchedBundleIDs(const QSet<QString> &bundleIDs) override;
    void setSafetyNetEnabled(bool enabled) override;
    void forwardRecord(const QString &key, const QByteArray &json,
                       const QString &deviceID) override;
    void forwardPairings(const QList<ExecGuardProtocol::Pairing> &phones) override;
    void forwardRecovery(const QString &code) override;

    // Which detection paths are live: for tests and the benchmark.
    bool usesProcessConnector();
    QStringList doorbellPrograms();
    ExecGuardClient *execGuard() const { return m_guard; }

private:
    template<typename Function> auto onWatcherThread(Function function);
    bool isStillRunning(const RunningApplication &application) const;
    void updateExecGuard();

    // Termination runs on the caller's thread, so the root dies without waiting for the watcher.
    ProcReader m_reader;
    ProcessTerminator m_terminator;
    QThread *m_thread = nullptr;
    LaunchWatcher *m_watcher = nullptr;
    QList<std::pair<qint64, quint64>> m_closed; // PID and start time
    ExecGuardClient *m_guard = nullptr;
    QTimer *m_guardRefresh = nullptr;
    bool m_blocking = false;
};
