#include "workspace_linux.h"

#include <QThread>
#include <QTimer>

#include <algorithm>
#include <tuple>

namespace {

// Closed applications remembered so that none is reported again while it dies.
constexpr qsizetype maxClosed = 64;
// While blocking, the exec guard's list follows installed and learned programs at this pace.
constexpr int guardRefreshMs = 10000;

LinuxWorkspace::Options withEnvironment(LinuxWorkspace::Options options)
{
    if (qEnvironmentVariableIntValue("VORN_NO_PROC_CONNECTOR") == 1)
        options.useProcessConnector = false;
    return options;
}

} // namespace

LinuxWorkspace::LinuxWorkspace(QObject *parent)
    : LinuxWorkspace(Options(), parent)
{
}

LinuxWorkspace::LinuxWorkspace(const Options &options, QObject *parent)
    : Workspace(parent)
    , m_reader(options.procRoot)
    , m_terminator(m_reader, options.user)
    , m_thread(new QThread(this))
    , m_watcher(new LaunchWatcher(withEnvironment(options)))
    , m_guard(new ExecGuardClient(QString(), this))
    , m_guardRefresh(new QTimer(this))
{
    qRegisterMetaType<RunningApplication>();
    m_thread->setObjectName(QStringLiteral("vorn-launch-watcher"));
    m_watcher->moveToThread(m_thread);
    connect(m_thread, &QThread::finished, m_watcher, &QObject::deleteLater);
    // Emitted on the watcher's thread and re-emitted on this object's, unless the application
    // has been closed or has ended meanwhile (by a pass over the running applications, say).
    connect(
            m_watcher, &LaunchWatcher::applicationLaunched, this,
            [this](const RunningApplication &application) {
                if (isStillRunning(application))
                    Q_EMIT didLaunchApplication(application);
            },
            Qt::QueuedConnection);
    m_thread->start();
    // The first listing is taken before the constructor returns, so every application started
    // after it is a launch.
    QMetaObject::invokeMethod(m_watcher, &LaunchWatcher::start, Qt::BlockingQueuedConnection);
    connect(m_guard, &ExecGuardClient::refused, this, &Workspace::launchRefused);
    m_guardRefresh->setInterval(guardRefreshMs);
    connect(m_guardRefresh, &QTimer::timeout, this, &LinuxWorkspace::updateExecGuard);
}

LinuxWorkspace::~LinuxWorkspace()
{
    m_thread->quit();
    m_thread->wait();
}

template<typename Function> auto LinuxWorkspace::onWatcherThread(Function function)
{
    using Result = decltype(function());
    if (QThread::currentThread() == m_thread)
        return function();
    Result result{};
    QMetaObject::invokeMethod(
            m_watcher, [&] { result = function(); }, Qt::BlockingQueuedConnection);
    return result;
}

QList<RunningApplication> LinuxWorkspace::runningApplications()
{
    QList<RunningApplication> running
            = onWatcherThread([this] { return m_watcher->runningApplications(); });
    running.removeIf([this](const RunningApplication &app) { return !isStillRunning(app); });
    return running;
}

bool LinuxWorkspace::isStillRunning(const RunningApplication &application) const
{
    if (m_closed.contains({application.pid, application.startTime}))
        return false;
    const auto stat = m_reader.stat(application.pid);
    return stat && !stat->hasEnded() && stat->startTime == application.startTime;
}

bool LinuxWorkspace::forceTerminate(const RunningApplication &application)
{
    // Never this process nor one it runs under: a block list that names Vorn itself (or the
    // terminal it was started from) must not end the enforcement.
    // Stopped first, so that the children it forked can be read while they are still its own;
    // the watcher then ends those of the same application.
    if (m_terminator.isProtected(application.pid)
        || !m_terminator.stop(application.pid, application.startTime))
        return false;
    const QList<qint64> children = m_reader.children(application.pid);
    // Fork children that still show the application's image are handed to a new parent by the
    // kill, and would then pass for launches of their own before the watcher ends them: a notice
    // for one is dropped like one for the application itself.
    QList<std::pair<qint64, quint64>> closed{{application.pid, application.startTime}};
    const auto rootStat = m_reader.stat(application.pid);
    const QString image = m_reader.executable(application.pid);
    for (const qint64 child : children) {
        const auto stat = m_reader.stat(child);
        if (rootStat && stat && stat->name == rootStat->name && !image.isEmpty()
            && m_reader.executable(child) == image)
            closed.append({child, stat->startTime});
    }
    m_terminator.kill(application.pid, application.startTime);
    for (const auto &process : std::as_const(closed)) {
        m_closed.append(process);
        if (m_closed.size() > maxClosed)
            m_closed.removeFirst();
    }
    QMetaObject::invokeMethod(
            m_watcher,
            [watcher = m_watcher, application, children] {
                watcher->terminateHelpers(application, children);
            },
            Qt::QueuedConnection);
    return true;
}

void LinuxWorkspace::setWatchedBundleIDs(const QSet<QString> &bundleIDs)
{
    onWatcherThread([&] {
        m_watcher->setWatchedBundleIDs(bundleIDs);
        return true;
    });
    updateExecGuard();
}

void LinuxWorkspace::setSafetyNetEnabled(bool enabled)
{
    m_blocking = enabled;
    if (enabled)
        m_guardRefresh->start();
    else
        m_guardRefresh->stop();
    updateExecGuard();
    QMetaObject::invokeMethod(
            m_watcher, [watcher = m_watcher, enabled] { watcher->setSafetyNetEnabled(enabled); },
            Qt::QueuedConnection);
}

void LinuxWorkspace::forwardRecord(const QString &key, const QByteArray &json,
                                   const QString &deviceID)
{
    m_guard->forwardRecord({key, json, deviceID});
}

void LinuxWorkspace::forwardPairings(const QList<ExecGuardProtocol::Pairing> &phones)
{
    m_guard->setPairings(phones);
}

void LinuxWorkspace::forwardRecovery(const QString &code)
{
    m_guard->sendRecovery(code);
}

bool LinuxWorkspace::usesProcessConnector()
{
    return onWatcherThread([this] { return m_watcher->usesProcessConnector(); });
}

QStringList LinuxWorkspace::doorbellPrograms()
{
    return onWatcherThread([this] { return m_watcher->doorbellPrograms(); });
}

void LinuxWorkspace::updateExecGuard()
{
    ExecGuardProtocol::State state{m_blocking, {}};
    if (m_blocking) {
        const QHash<QString, QStringList> programs
                = onWatcherThread([this] { return m_watcher->watchedPrograms(); });
        for (auto it = programs.cbegin(); it != programs.cend(); ++it) {
            QStringList paths = it.value();
            paths.removeDuplicates();
            for (const QString &path : std::as_const(paths))
                state.programs.append({it.key(), path});
        }
        std::sort(state.programs.begin(), state.programs.end(), [](const auto &a, const auto &b) {
            return std::tie(a.id, a.path) < std::tie(b.id, b.path);
        });
    }
    m_guard->setState(state);
}
