// Launch enforcement, end to end on real processes: how long a blocked application lives from
// its execve to being reaped by its parent, and what the watcher costs while nothing happens.
//
// Routes, each launched --launches times (default 1,000), one after another with a random pause:
//   a) an executable named by a blocked application's entry (it has a doorbell);
//   b) a program nothing names, identified only by its launch environment (GIO_LAUNCHED_*);
//   c) a wrapper script, itself unnamed, that execs a blocked application's program;
//   d) an entry whose Exec= is a launcher script that execs a binary no entry names;
//   e) a program two entries share, started with the blocked one's Exec= option;
//   f) the binary of d)'s kind started directly, learned from one unblocked run of its launcher;
//   g) (as root) a process of another user that switches to the followed user and execs a blocked
//      program (setpriv), the watcher following nobody's processes;
//   h) a renamed copy of a's program, which nothing names: closed by its content.
// The decision is the enforcement's own, reduced to its core: kill when the identifier is in the
// blocked set; the safety net is on, as while blocking. A launch still alive two seconds after
// its exec has escaped.
//
// Idle: the watcher thread's CPU time over --idle-seconds (default 60) with no launches, first as
// the machine is, then with --extra (default 2,000) more sleeping processes of this user.
//
// Guard (--guard, as root): the exec guard (vorn-guard) refuses a blocked program before it runs.
// A program that runs its first instruction has escaped: the programs are copies of touch, told
// to create a marker file. --launches launches each of a blocked program and of a renamed copy,
// by a user whose state was sent by a client that has since exited; then the renamed copy again
// after the guard was killed (SIGKILL) and started again. And the cost for unrelated programs:
// fork, execve of /bin/true and reaping, median and p99, without the guard and with it, for root
// and for the blocking user.
//
// Usage: bench_enforcement [--no-connector] [--launches N] [--idle-seconds S] [--extra N]
//        bench_enforcement --guard [--launches N]
//        bench_enforcement [--no-connector] --watch ID[,ID...] [--seconds S]
// --watch runs only the enforcement, with the installed entries and those identifiers blocked,
// printing each launch and each close, for trying real applications by hand.

#include "benchstats.h"
#include "guardfixture.h"
#include "workspace_linux.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include <csignal>
#include <poll.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

constexpr int escapeMs = 2000;

// CPU time of the watcher's thread in seconds, from the scheduler's nanosecond accounting.
double watcherCpuSeconds()
{
    const QStringList tasks = QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs);
    for (const QString &task : tasks) {
        QFile comm(QStringLiteral("/proc/self/task/%1/comm").arg(task));
        if (!comm.open(QIODevice::ReadOnly) || !comm.readAll().startsWith("vorn-launch"))
            continue;
        QFile schedstat(QStringLiteral("/proc/self/task/%1/schedstat").arg(task));
        if (schedstat.open(QIODevice::ReadOnly))
            return schedstat.readAll().split(' ').value(0).toDouble() / 1e9;
    }
    return 0;
}

struct Route
{
    const char *name;
    QByteArrayList argv; // argv[0] is the program executed
    bool launchEnvironment = false;
};

struct Result
{
    std::vector<double> latencies;
    int escaped = 0;
};

// Forks, stamps the time into shared memory just before execve, and waits for the end.
Result runRoute(const Route &route, int launches, const QByteArray &desktopFile)
{
    Result result;
    auto *stamp = static_cast<double *>(::mmap(nullptr, sizeof(double), PROT_READ | PROT_WRITE,
                                               MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    std::mt19937 random(42);
    std::uniform_int_distribution<int> pause(0, 49);
    for (int i = 0; i < launches; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10 + pause(random)));
        *stamp = 0;
        // Everything the child needs is prepared here: after fork() in a threaded process the
        // child may only make async-signal-safe calls.
        QByteArray fileVariable = "GIO_LAUNCHED_DESKTOP_FILE=" + desktopFile;
        char pidVariable[64] = "GIO_LAUNCHED_DESKTOP_FILE_PID=";
        std::vector<char *> environment;
        for (char **variable = environ; *variable; ++variable)
            environment.push_back(*variable);
        if (route.launchEnvironment) {
            environment.push_back(fileVariable.data());
            environment.push_back(pidVariable);
        }
        environment.push_back(nullptr);
        std::vector<char *> argv;
        for (const QByteArray &argument : route.argv)
            argv.push_back(const_cast<char *>(argument.constData()));
        argv.push_back(nullptr);
        const pid_t child = ::fork();
        if (child == 0) {
            char digits[24];
            int length = 0;
            for (pid_t pid = ::getpid(); pid > 0; pid /= 10)
                digits[length++] = char('0' + pid % 10);
            char *end = pidVariable + std::strlen(pidVariable);
            while (length > 0)
                *end++ = digits[--length];
            *end = '\0';
            *stamp = nowMs();
            ::execve(argv[0], argv.data(), environment.data());
            ::_exit(127);
        }
        const int pidfd = int(::syscall(SYS_pidfd_open, child, 0u));
        pollfd wait{pidfd, POLLIN, 0};
        const bool ended = ::poll(&wait, 1, escapeMs) == 1;
        if (!ended) {
            ::kill(child, SIGKILL);
            ++result.escaped;
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        const double reaped = nowMs();
        ::close(pidfd);
        if (ended && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
            result.latencies.push_back(reaped - *stamp);
        else if (ended)
            ++result.escaped; // ended some other way: not closed by the enforcement
    }
    ::munmap(stamp, sizeof(double));
    return result;
}

double idleCpuPercent(int seconds)
{
    const double cpuBefore = watcherCpuSeconds();
    const double wallBefore = nowMs();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    return 100.0 * (watcherCpuSeconds() - cpuBefore) / ((nowMs() - wallBefore) / 1e3);
}

void install(const QString &path, const QByteArray &script = QByteArray())
{
    if (script.isEmpty()) {
        QFile::copy(QStringLiteral("/bin/sleep"), path);
    } else {
        QFile file(path);
        if (file.open(QIODevice::WriteOnly))
            file.write("#!/bin/sh\n" + script);
    }
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// Runs the launcher once, unblocked, until the watcher has learned the binary it execs.
bool learnFrom(const QByteArray &launcher, const QString &binary, const QString &cacheFile)
{
    char *const argv[]
            = {const_cast<char *>(launcher.constData()), const_cast<char *>("30"), nullptr};
    pid_t pid = 0;
    if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ) != 0)
        return false;
    bool learned = false;
    for (int i = 0; i < 500 && !learned; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        QFile cache(cacheFile);
        learned = cache.open(QIODevice::ReadOnly) && cache.readAll().contains(binary.toUtf8());
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return learned;
}

void writeEntry(const QString &folder, const QString &id, const QString &exec)
{
    QFile file(folder + QLatin1Char('/') + id + QStringLiteral(".desktop"));
    if (file.open(QIODevice::WriteOnly))
        file.write("[Desktop Entry]\nType=Application\nName=" + id.toUtf8()
                   + "\nExec=" + exec.toUtf8() + "\n");
}

} // namespace

constexpr uint guardUser = 65534;

// Escapes of `launches` starts of program as the blocking user: a marker file made, or an exec
// that did not fail with EPERM.
int guardEscapes(const QString &program, int launches, const QString &markers)
{
    int escaped = 0;
    for (int i = 0; i < launches; ++i) {
        const QString marker = markers + QStringLiteral("/%1").arg(i);
        const int error = GuardFixture::execAs(guardUser, QFile::encodeName(program),
                                               QFile::encodeName(marker));
        if (error != EPERM || QFile::exists(marker))
            ++escaped;
        QFile::remove(marker);
    }
    return escaped;
}

// Fork, execve of /bin/true as uid and reaping, in milliseconds.
std::vector<double> execTimes(uint uid, int count)
{
    std::vector<double> times;
    for (int i = 0; i < count; ++i) {
        const qint64 start = nowNs();
        GuardFixture::execAs(uid, "/bin/true");
        times.push_back(double(nowNs() - start) / 1e6);
    }
    return times;
}

int guardBenchmark(int launches)
{
    if (const QString reason = GuardFixture::unavailableReason(); !reason.isEmpty()) {
        std::fprintf(stderr, "guard route skipped: %s\n", qPrintable(reason));
        return 1;
    }
    QTemporaryDir folder;
    const QString markers = folder.filePath(QStringLiteral("markers"));
    QDir().mkpath(markers);
    ::chmod(QFile::encodeName(folder.path()).constData(), 0755);
    ::chmod(QFile::encodeName(markers).constData(), 0777);
    const QString blocked = folder.filePath(QStringLiteral("blocked"));
    const QString renamed = folder.filePath(QStringLiteral("renamed-copy"));
    for (const QString &path : {blocked, renamed}) {
        QFile::copy(QStringLiteral("/usr/bin/touch"), path);
        ::chmod(QFile::encodeName(path).constData(), 0755);
    }
    GuardFixture::Guard guard(folder.path());
    QString output;
    if (!guard.start(&output)) {
        std::fprintf(stderr, "vorn-guard did not start: %s\n", qPrintable(output));
        return 1;
    }
    const ExecGuardProtocol::State state{true, {{QStringLiteral("org.bench.Blocked"), blocked}}};
    const auto status = GuardFixture::sendState(guardUser, guard.socketPath(), state);
    if (!status || status->programs != 1) {
        std::fprintf(stderr, "the guard did not take the state\n");
        return 1;
    }
    // The client that sent the state has exited, as a killed Vorn would.
    const int blockedEscapes = guardEscapes(blocked, launches, markers);
    const int renamedEscapes = guardEscapes(renamed, launches, markers);
    guard.kill();
    const int afterKill = guardEscapes(renamed, 1, markers);
    int restartEscapes = -1;
    if (guard.start(&output))
        restartEscapes = guardEscapes(renamed, launches, markers);
    guard.kill();

    // Blocks with and without the guard in turn, so that the machine's other load falls on both.
    std::vector<double> bareRoot, bareUser, guardedRoot, guardedUser;
    const int blocks = 10, perBlock = std::max(launches, 200) / blocks;
    for (int block = 0; block < blocks; ++block) {
        for (const auto &[uid, times] :
             {std::pair{0u, &bareRoot}, std::pair{guardUser, &bareUser}}) {
            const std::vector<double> sample = execTimes(uid, perBlock);
            times->insert(times->end(), sample.begin(), sample.end());
        }
        if (!guard.start(&output)) {
            std::fprintf(stderr, "vorn-guard did not start again: %s\n", qPrintable(output));
            return 1;
        }
        for (const auto &[uid, times] :
             {std::pair{0u, &guardedRoot}, std::pair{guardUser, &guardedUser}}) {
            const std::vector<double> sample = execTimes(uid, perBlock);
            times->insert(times->end(), sample.begin(), sample.end());
        }
        guard.kill();
    }

    std::printf("Exec guard; %d launches per route, refused means EPERM and no marker file\n",
                launches);
    std::printf("%-44s %8s\n", "route", "escaped");
    std::printf("%-44s %8d\n", "blocked program", blockedEscapes);
    std::printf("%-44s %8d\n", "renamed copy", renamedEscapes);
    std::printf("%-44s %8d\n", "renamed copy, guard killed and restarted", restartEscapes);
    std::printf("(with the guard killed and not yet restarted: %d of 1 escaped, as expected)\n",
                afterKill);
    std::printf("%-44s %9s %9s\n", "fork + execve /bin/true + reap", "p50 ms", "p99 ms");
    const auto row = [](const char *name, const std::vector<double> &times) {
        std::printf("%-44s %9.3f %9.3f\n", name, percentile(times, 0.5), percentile(times, 0.99));
    };
    row("root, no guard", bareRoot);
    row("root, guard", guardedRoot);
    row("blocking user, no guard", bareUser);
    row("blocking user, guard", guardedUser);
    std::fflush(stdout);
    return 0;
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    const auto option = [&](const QString &name, int fallback) {
        const qsizetype at = arguments.indexOf(name);
        return at >= 0 && at + 1 < arguments.size() ? arguments[at + 1].toInt() : fallback;
    };
    const int launches = option(QStringLiteral("--launches"), 1000);
    const int idleSeconds = option(QStringLiteral("--idle-seconds"), 60);
    const int extra = option(QStringLiteral("--extra"), 2000);
    if (arguments.contains(QStringLiteral("--guard")))
        return guardBenchmark(launches);

    if (const qsizetype at = arguments.indexOf(QStringLiteral("--watch")); at >= 0) {
        const QStringList ids = arguments.value(at + 1).split(QLatin1Char(','));
        const QSet<QString> watched(ids.cbegin(), ids.cend());
        LinuxWorkspace::Options options;
        options.useProcessConnector = !arguments.contains(QStringLiteral("--no-connector"));
        LinuxWorkspace workspace(options);
        workspace.setWatchedBundleIDs(watched);
        workspace.setSafetyNetEnabled(true);
        QObject::connect(&workspace, &Workspace::didLaunchApplication, &workspace,
                         [&](const RunningApplication &application) {
                             const bool close = watched.contains(application.bundleIdentifier);
                             std::printf("%s %s (pid %lld)\n", close ? "closing" : "launched",
                                         qPrintable(application.bundleIdentifier),
                                         qlonglong(application.pid));
                             std::fflush(stdout);
                             if (close)
                                 workspace.forceTerminate(application);
                         });
        // As blocking starts: what is running already.
        for (const RunningApplication &application : workspace.runningApplications()) {
            const bool close = watched.contains(application.bundleIdentifier);
            std::printf("%s %s (pid %lld), running\n", close ? "closing" : "found",
                        qPrintable(application.bundleIdentifier), qlonglong(application.pid));
            if (close)
                workspace.forceTerminate(application);
        }
        std::printf("watching with %s\n",
                    workspace.usesProcessConnector() ? "the connector" : "poll + doorbells");
        std::fflush(stdout);
        QTimer::singleShot(option(QStringLiteral("--seconds"), 60) * 1000, &app,
                           &QCoreApplication::quit);
        return app.exec();
    }

    QTemporaryDir home;
    const QString bin = home.filePath(QStringLiteral("bin"));
    const QString applications = home.filePath(QStringLiteral("share/applications"));
    QDir().mkpath(bin);
    QDir().mkpath(applications);
    QDir().mkpath(home.filePath(QStringLiteral("empty")));
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_DATA_HOME", home.filePath(QStringLiteral("share")).toUtf8());
    qputenv("XDG_DATA_DIRS", home.filePath(QStringLiteral("empty")).toUtf8());
    qputenv("XDG_CACHE_HOME", home.filePath(QStringLiteral("cache")).toUtf8());
    // Another user runs route g's program from here.
    QFile::setPermissions(home.path(),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther
                                  | QFile::ExeOther);

    install(bin + "/doorbelled");
    QFile::copy(bin + "/doorbelled", bin + "/renamed");
    install(bin + "/unnamed");
    install(bin + "/wrapped");
    install(bin + "/wrapper", "exec \"" + (bin + "/wrapped").toUtf8() + "\" \"$@\"\n");
    install(bin + "/launcher-binary");
    install(bin + "/launcher.sh", "exec \"" + (bin + "/launcher-binary").toUtf8() + "\" \"$@\"\n");
    writeEntry(applications, QStringLiteral("org.bench.Doorbelled"), bin + "/doorbelled %U");
    writeEntry(applications, QStringLiteral("org.bench.Wrapped"), bin + "/wrapped");
    writeEntry(applications, QStringLiteral("org.bench.Launcher"), bin + "/launcher.sh");
    QFile::copy(QStringLiteral("/bin/sh"), bin + "/shared");
    writeEntry(applications, QStringLiteral("org.bench.Shared"), bin + "/shared %U");
    writeEntry(applications, QStringLiteral("org.bench.SharedSettings"),
               bin + "/shared --preferences");
    install(bin + "/learned-binary");
    // Like real launchers (Chromium's runs for tens of milliseconds), it does some work first,
    // and computes the path of its binary (as LibreOffice's does), so only a run can teach it.
    install(bin + "/learner.sh",
            "sleep 0.2\nbinary=\"$(dirname \"$0\")/learned-binary\"\nexec \"$binary\" \"$@\"\n");
    writeEntry(applications, QStringLiteral("org.bench.Learned"), bin + "/learner.sh");
    install(bin + "/switched");
    writeEntry(applications, QStringLiteral("org.bench.Switched"), bin + "/switched");
    for (const QString &path : {bin, bin + "/switched"})
        QFile::setPermissions(path,
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                      | QFile::ReadOther | QFile::ExeOther);
    const QString cacheFile = home.filePath(QStringLiteral("cache/vorn/learned-programs.json"));
    const QByteArray desktopFile = (applications + "/org.bench.Environment.desktop").toUtf8();

    LinuxWorkspace::Options options;
    options.useProcessConnector = !arguments.contains(QStringLiteral("--no-connector"));
    LinuxWorkspace workspace(options);
    const QSet<QString> blocked{"org.bench.Doorbelled",     "org.bench.Environment",
                                "org.bench.Wrapped",        "org.bench.Launcher",
                                "org.bench.SharedSettings", "org.bench.Learned",
                                "org.bench.Switched"};
    const auto enforce = [&blocked](LinuxWorkspace &workspace) {
        workspace.setWatchedBundleIDs(blocked);
        workspace.setSafetyNetEnabled(true);
        QObject::connect(&workspace, &Workspace::didLaunchApplication, &workspace,
                         [&](const RunningApplication &application) {
                             if (blocked.contains(application.bundleIdentifier))
                                 workspace.forceTerminate(application);
                         });
    };
    enforce(workspace);
    // Notices are acted on once the event loop runs: this run of the launcher is not closed.
    const bool learned
            = learnFrom((bin + "/learner.sh").toUtf8(), bin + "/learned-binary", cacheFile);
    // Route g: a second workspace that follows (and ends) nobody's processes.
    const bool asRoot = ::getuid() == 0 && !QStandardPaths::findExecutable("setpriv").isEmpty();
    std::unique_ptr<LinuxWorkspace> nobodys;
    if (asRoot) {
        LinuxWorkspace::Options nobodyOptions = options;
        nobodyOptions.user = 65534;
        nobodys = std::make_unique<LinuxWorkspace>(nobodyOptions);
        enforce(*nobodys);
    }
    const bool connector = workspace.usesProcessConnector();
    QByteArray loadBefore;
    if (QFile loadavg(QStringLiteral("/proc/loadavg")); loadavg.open(QIODevice::ReadOnly))
        loadBefore = loadavg.readAll().trimmed();
    const QStringList doorbells = workspace.doorbellPrograms();

    const auto command = [&bin](const QString &program, QByteArrayList arguments = {"30"}) {
        return QByteArrayList{(bin + program).toUtf8()} + arguments;
    };
    std::vector<Route> routes{
            {"a) doorbell executable", command("/doorbelled")},
            {"b) launch environment only", command("/unnamed"), true},
            {"c) wrapper script execs it", command("/wrapper")},
            {"d) Exec= launcher script", command("/launcher.sh")},
            {"e) shared program, option",
             command("/shared", {"-c", "sleep 30; :", "--preferences"})},
    };
    if (learned)
        routes.push_back({"f) learned binary, direct", command("/learned-binary")});
    else
        std::fprintf(stderr, "route f skipped: the launcher's binary was not learned\n");
    if (asRoot)
        routes.push_back({"g) other user switches",
                          QByteArrayList{"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                         "--clear-groups"}
                                  + command("/switched")});
    else
        std::fprintf(stderr, "route g skipped: it needs root and setpriv\n");
    routes.push_back({"h) renamed copy, by content", command("/renamed")});
    std::vector<Result> results;
    double idleBare = 0, idleCrowded = 0, pidRate = 0;
    std::thread driver([&] {
        for (const Route &route : routes)
            results.push_back(runRoute(route, launches, desktopFile));
        // Only the first workspace's watcher is measured while idle.
        QMetaObject::invokeMethod(
                &app, [&nobodys] { nobodys.reset(); }, Qt::BlockingQueuedConnection);

        const auto lastPid = [] {
            QFile file(QStringLiteral("/proc/loadavg"));
            return file.open(QIODevice::ReadOnly)
                    ? file.readAll().trimmed().split(' ').last().toDouble()
                    : 0.0;
        };
        const double firstPid = lastPid(), idleStart = nowMs();
        idleBare = idleCpuPercent(idleSeconds);
        std::vector<pid_t> sleepers;
        char sleep[] = "sleep", duration[] = "3600";
        char *const sleepArgs[] = {sleep, duration, nullptr};
        for (int i = 0; i < extra; ++i) {
            pid_t pid = 0;
            if (::posix_spawn(&pid, "/bin/sleep", nullptr, nullptr, sleepArgs, environ) == 0)
                sleepers.push_back(pid);
        }
        std::this_thread::sleep_for(std::chrono::seconds(5)); // let them settle
        idleCrowded = idleCpuPercent(idleSeconds);
        double handedOut = lastPid() - firstPid;
        if (handedOut < 0) { // the PID counter wrapped
            QFile pidMax(QStringLiteral("/proc/sys/kernel/pid_max"));
            handedOut += pidMax.open(QIODevice::ReadOnly) ? pidMax.readAll().trimmed().toDouble()
                                                          : 0.0;
        }
        pidRate = std::max(0.0, handedOut - extra) / ((nowMs() - idleStart) / 1e3);
        for (const pid_t pid : sleepers)
            ::kill(pid, SIGKILL);
        for (const pid_t pid : sleepers)
            ::waitpid(pid, nullptr, 0);
        QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    app.exec();
    driver.join();

    std::printf("Launch enforcement, %s; %d launches per route; %lld doorbell program(s); "
                "load average before: %s\n",
                connector ? "process connector" : "unprivileged (poll + doorbells)", launches,
                qlonglong(doorbells.size()), loadBefore.constData());
    std::printf("%-28s %9s %9s %9s %8s\n", "route (exec to reaped)", "p50 ms", "p99 ms", "max ms",
                "escaped");
    for (size_t i = 0; i < routes.size(); ++i) {
        const Result &result = results[i];
        std::printf("%-28s %9.2f %9.2f %9.2f %8d\n", routes[i].name,
                    percentile(result.latencies, 0.50), percentile(result.latencies, 0.99),
                    percentile(result.latencies, 1.0), result.escaped);
    }
    std::printf("watcher CPU while idle, over %d s: %.3f%% of one core; with %d extra sleeping "
                "processes: %.3f%%\n",
                idleSeconds, idleBare, extra, idleCrowded);
    std::printf("new PIDs the system handed out meanwhile: %.0f a second\n", pidRate);
    std::fflush(stdout);
    return 0;
}
