#include "testhome.h"
#include "workspace_linux.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <memory>

#include <csignal>
#include <unistd.h>

// The workspace against real processes: copies of sleep started under names of our own, with
// desktop entries for them in a temporary HOME, through each route an application can be
// launched by, seen through each detection path.
class tst_LinuxWorkspace : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void noticesEachLaunchOnce_data();
    void noticesEachLaunchOnce();
    void listsRunningApplications();
    void launcherScriptKeepsItsIdentityThroughExec();
    void terminatesRootAndSameIdentityDescendants();
    void refusesProcessesItMustNotTouch_data();
    void refusesProcessesItMustNotTouch();
    void doorbellsFollowTheIndex();
    void resolvesThroughAnInjectedProcRoot();

private:
    enum Path { Poll, Doorbell, Connector };
    std::unique_ptr<LinuxWorkspace> makeWorkspace(Path path);
    QProcess *launch(const QString &program, const QStringList &arguments);
    QString bin(const QString &name) const { return m_home.path(QStringLiteral("bin/") + name); }
    QString applications() const
    {
        return m_home.path(QStringLiteral(".local/share/applications"));
    }
    void writeEntry(const QString &id, const QString &exec);
    void installProgram(const QString &name, const QByteArray &script = QByteArray());
    static qint64 parentOf(qint64 pid);
    static bool isGone(qint64 pid);
    static quint64 startTimeOf(qint64 pid);
    static QList<qint64> childrenOf(qint64 pid);

    TestHome m_home;
    QList<QProcess *> m_processes;
};

void tst_LinuxWorkspace::writeEntry(const QString &id, const QString &exec)
{
    QVERIFY(TestHome::writeFile(applications() + QLatin1Char('/') + id + ".desktop",
                                "[Desktop Entry]\nType=Application\nName=" + id.toUtf8()
                                        + "\nExec=" + exec.toUtf8() + "\n"));
}

void tst_LinuxWorkspace::installProgram(const QString &name, const QByteArray &script)
{
    QDir().mkpath(bin(QString()));
    if (script.isEmpty())
        QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), bin(name)));
    else
        QVERIFY(TestHome::writeFile(bin(name), "#!/bin/sh\n" + script));
    QVERIFY(QFile::setPermissions(bin(name),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
}

void tst_LinuxWorkspace::initTestCase()
{
    // Only the entries made here count, whatever the machine has installed.
    QDir().mkpath(m_home.path(QStringLiteral("no-data-dirs")));
    qputenv("XDG_DATA_DIRS", m_home.path(QStringLiteral("no-data-dirs")).toUtf8());
    qunsetenv("VORN_NO_PROC_CONNECTOR");

    installProgram(QStringLiteral("alpha"));
    installProgram(QStringLiteral("beta"));
    installProgram(QStringLiteral("unlisted"));
    installProgram(QStringLiteral("launch-alpha"),
                   "exec \"" + bin("alpha").toUtf8() + "\" \"$@\"\n");
    installProgram(QStringLiteral("tree.sh"),
                   "\"" + bin("alpha").toUtf8() + "\" 60 &\n\"" + bin("unlisted").toUtf8()
                           + "\" 60 &\nwait\n");
    writeEntry(QStringLiteral("org.vorntest.Alpha"), bin(QStringLiteral("alpha")) + " %U");
    writeEntry(QStringLiteral("org.vorntest.Beta"), bin(QStringLiteral("beta")));
    writeEntry(QStringLiteral("org.vorntest.Tree"), bin(QStringLiteral("tree.sh")));
    // A launcher script in Exec= that execs a binary no entry names, the way many packaged
    // applications start.
    installProgram(QStringLiteral("launcher.sh"),
                   "sleep 0.3\nexec \"" + bin("unlisted").toUtf8() + "\" \"$@\"\n");
    writeEntry(QStringLiteral("org.vorntest.Launcher"), bin(QStringLiteral("launcher.sh")));
}

void tst_LinuxWorkspace::cleanup()
{
    for (QProcess *process : std::as_const(m_processes)) {
        process->kill();
        process->waitForFinished(5000);
        delete process;
    }
    m_processes.clear();
}

std::unique_ptr<LinuxWorkspace> tst_LinuxWorkspace::makeWorkspace(Path path)
{
    LinuxWorkspace::Options options;
    options.useProcessConnector = path == Connector;
    // With the poll slowed to a crawl, a notice in time can only come from the path under test.
    if (path != Poll)
        options.pollIntervalMs = 600000;
    return std::make_unique<LinuxWorkspace>(options);
}

QProcess *tst_LinuxWorkspace::launch(const QString &program, const QStringList &arguments)
{
    auto *process = new QProcess;
    m_processes.append(process);
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->start(program, arguments);
    if (!process->waitForStarted(5000))
        qWarning() << "could not start" << program << process->errorString();
    return process;
}

qint64 tst_LinuxWorkspace::parentOf(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = file.readAll();
    return text.mid(text.lastIndexOf(')') + 2).split(' ').value(1).toLongLong();
}

quint64 tst_LinuxWorkspace::startTimeOf(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = file.readAll();
    return text.mid(text.lastIndexOf(')') + 2).split(' ').value(19).toULongLong();
}

bool tst_LinuxWorkspace::isGone(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return true;
    const QByteArray text = file.readAll();
    const QByteArray state = text.mid(text.lastIndexOf(')') + 2, 1);
    return state == "Z" || state == "X";
}

QList<qint64> tst_LinuxWorkspace::childrenOf(qint64 pid)
{
    QList<qint64> children;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool ok = false;
        const qint64 candidate = entry.toLongLong(&ok);
        if (ok && parentOf(candidate) == pid && !isGone(candidate))
            children.append(candidate);
    }
    return children;
}

void tst_LinuxWorkspace::noticesEachLaunchOnce_data()
{
    QTest::addColumn<int>("path");
    QTest::addColumn<QString>("program"); // %B/ stands for the bin folder
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("expected");

    const QString alpha = QStringLiteral("org.vorntest.Alpha");
    const QString gio = QStringLiteral("org.vorntest.Gio");
    const QString launchedByGio
            = QStringLiteral("exec env GIO_LAUNCHED_DESKTOP_FILE=/nowhere/org.vorntest.Gio.desktop "
                             "GIO_LAUNCHED_DESKTOP_FILE_PID=$$ %B/unlisted 60");
    const QStringList paths{"poll", "doorbell", "connector"};
    for (int path : {Poll, Doorbell, Connector}) {
        const QByteArray tag = paths[path].toLatin1();
        const char *name = tag.constData();
        QTest::addRow("%s: direct", name) << path << "%B/alpha" << QStringList{"60"} << alpha;
        QTest::addRow("%s: sh -c", name)
                << path << "/bin/sh" << QStringList{"-c", "%B/alpha 60; true"} << alpha;
        QTest::addRow("%s: wrapper script that execs", name)
                << path << "%B/launch-alpha" << QStringList{"60"} << alpha;
        QTest::addRow("%s: exec after a pause", name)
                << path << "/bin/sh" << QStringList{"-c", "sleep 0.4; exec %B/alpha 60"} << alpha;
        if (path != Doorbell) // nothing names its program, so it has no doorbell
            QTest::addRow("%s: GIO launch environment", name)
                    << path << "/bin/sh" << QStringList{"-c", launchedByGio} << gio;
        if (path != Poll) // the poll looks again only at processes younger than two seconds
            QTest::addRow("%s: old process execs", name)
                    << path << "/bin/sh" << QStringList{"-c", "sleep 2.5; exec %B/alpha 60"}
                    << alpha;
    }
}

void tst_LinuxWorkspace::noticesEachLaunchOnce()
{
    QFETCH(int, path);
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    QFETCH(QString, expected);

    auto workspace = makeWorkspace(Path(path));
    if (path == Connector && !workspace->usesProcessConnector())
        QSKIP("the process connector needs CAP_NET_ADMIN");
    QCOMPARE(workspace->usesProcessConnector(), path == Connector);
    if (path == Doorbell) {
        workspace->setWatchedBundleIDs({expected});
        QCOMPARE(workspace->doorbellPrograms(), QStringList{bin(QStringLiteral("alpha"))});
    }

    QList<RunningApplication> notices;
    bool onMainThread = true;
    connect(workspace.get(), &Workspace::didLaunchApplication, this,
            [&](const RunningApplication &application) {
                onMainThread = onMainThread && QThread::currentThread() == thread();
                notices.append(application);
            });

    const QString binFolder = bin(QString());
    program.replace(QStringLiteral("%B/"), binFolder);
    for (QString &argument : arguments)
        argument.replace(QStringLiteral("%B/"), binFolder);
    const QProcess *process = launch(program, arguments);
    const qint64 launched = process->processId();
    QVERIFY(launched > 0);

    // The notice names the launched process, or its child when a shell forked first.
    const auto ours = [&](const RunningApplication &application) {
        return application.bundleIdentifier == expected
                && (application.pid == launched || parentOf(application.pid) == launched);
    };
    QTRY_VERIFY_WITH_TIMEOUT(std::any_of(notices.cbegin(), notices.cend(), ours), 6000);
    QTest::qWait(300);
    QCOMPARE(std::count_if(notices.cbegin(), notices.cend(), ours), 1);
    const RunningApplication notice = *std::find_if(notices.cbegin(), notices.cend(), ours);
    QCOMPARE(notice.startTime, startTimeOf(notice.pid));
    QVERIFY(onMainThread);
}

void tst_LinuxWorkspace::listsRunningApplications()
{
    LinuxWorkspace workspace;
    const qint64 alpha = launch(bin(QStringLiteral("alpha")), {"60"})->processId();
    const qint64 beta = launch(bin(QStringLiteral("beta")), {"60"})->processId();
    const qint64 unlisted = launch(bin(QStringLiteral("unlisted")), {"60"})->processId();

    const QList<RunningApplication> running = workspace.runningApplications();
    QHash<qint64, RunningApplication> byPid;
    for (const RunningApplication &application : running)
        byPid.insert(application.pid, application);
    QVERIFY(byPid.contains(alpha));
    QCOMPARE(byPid[alpha].bundleIdentifier, QStringLiteral("org.vorntest.Alpha"));
    QCOMPARE(byPid[alpha].startTime, startTimeOf(alpha));
    QVERIFY(byPid.contains(beta));
    QCOMPARE(byPid[beta].bundleIdentifier, QStringLiteral("org.vorntest.Beta"));
    // Nothing names it, so it belongs to the application that started it (this test), and is
    // no application of its own.
    QVERIFY(!byPid.contains(unlisted));
    QVERIFY(!byPid.contains(1));
}

void tst_LinuxWorkspace::launcherScriptKeepsItsIdentityThroughExec()
{
    LinuxWorkspace workspace;
    QSignalSpy notices(&workspace, &Workspace::didLaunchApplication);
    const qint64 pid = launch(bin(QStringLiteral("launcher.sh")), {"60"})->processId();
    const auto noticesFor = [&] {
        int count = 0;
        for (const QList<QVariant> &arguments : std::as_const(notices)) {
            const auto application = arguments.first().value<RunningApplication>();
            count += application.pid == pid
                    && application.bundleIdentifier == QStringLiteral("org.vorntest.Launcher");
        }
        return count;
    };
    QTRY_COMPARE_WITH_TIMEOUT(noticesFor(), 1, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid)),
                              bin(QStringLiteral("unlisted")), 5000);

    RunningApplication application;
    for (const RunningApplication &candidate : workspace.runningApplications()) {
        if (candidate.pid == pid)
            application = candidate;
    }
    QCOMPARE(application.bundleIdentifier, QStringLiteral("org.vorntest.Launcher"));
    QCOMPARE(noticesFor(), 1); // the exec is no new launch
}

void tst_LinuxWorkspace::terminatesRootAndSameIdentityDescendants()
{
    LinuxWorkspace workspace;
    QProcess *tree = launch(bin(QStringLiteral("tree.sh")), {});
    const qint64 root = tree->processId();
    QList<qint64> children;
    QTRY_VERIFY_WITH_TIMEOUT((children = childrenOf(root)).size() == 2, 5000);
    qint64 alpha = 0, unlisted = 0;
    for (const qint64 child : children) {
        const QString exe = QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(child));
        (exe == bin(QStringLiteral("alpha")) ? alpha : unlisted) = child;
    }
    QVERIFY(alpha && unlisted);
    QTRY_VERIFY_WITH_TIMEOUT(QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(unlisted))
                                     == bin(QStringLiteral("unlisted")),
                             5000);

    RunningApplication application;
    for (const RunningApplication &candidate : workspace.runningApplications()) {
        if (candidate.pid == root)
            application = candidate;
    }
    QCOMPARE(application.bundleIdentifier, QStringLiteral("org.vorntest.Tree"));

    QVERIFY(workspace.forceTerminate(application));
    QVERIFY(tree->waitForFinished(5000));
    QCOMPARE(tree->exitStatus(), QProcess::CrashExit);
    QTRY_VERIFY_WITH_TIMEOUT(isGone(unlisted), 5000); // a helper of the same application
    QTest::qWait(100);
    QVERIFY(!isGone(alpha)); // an application of its own that the tree started
    ::kill(pid_t(alpha), SIGKILL);

    // The same PID and start time again: the process has gone, nothing is sent.
    QVERIFY(!workspace.forceTerminate(application));
}

void tst_LinuxWorkspace::refusesProcessesItMustNotTouch_data()
{
    QTest::addColumn<QString>("target");
    QTest::newRow("PID 1") << "init";
    QTest::newRow("this process") << "self";
    QTest::newRow("the parent of this process") << "parent";
    QTest::newRow("same PID, other start time") << "stale";
    QTest::newRow("another user's process") << "foreign";
}

void tst_LinuxWorkspace::refusesProcessesItMustNotTouch()
{
    QFETCH(QString, target);
    LinuxWorkspace workspace;
    RunningApplication application;
    application.bundleIdentifier = QStringLiteral("org.vorntest.Alpha");
    if (target == "init") {
        application.pid = 1;
    } else if (target == "self") {
        application.pid = ::getpid();
    } else if (target == "parent") {
        application.pid = ::getppid();
    } else if (target == "stale") {
        application.pid = launch(bin(QStringLiteral("alpha")), {"60"})->processId();
        application.startTime = startTimeOf(application.pid) + 1;
    } else if (target == "foreign") {
        if (::getuid() != 0)
            QSKIP("starting another user's process needs root");
        application.pid
                = launch(QStringLiteral("setpriv"),
                         {"--reuid=65534", "--regid=65534", "--clear-groups", "/bin/sleep", "60"})
                          ->processId();
        QTRY_VERIFY_WITH_TIMEOUT(
                QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(application.pid))
                        .endsWith(QStringLiteral("sleep")),
                5000);
    }
    if (!application.startTime)
        application.startTime = startTimeOf(application.pid);

    QVERIFY(!workspace.forceTerminate(application));
    QTest::qWait(100);
    QVERIFY(!isGone(application.pid));
}

void tst_LinuxWorkspace::doorbellsFollowTheIndex()
{
    // Doorbells belong to the unprivileged path; with the process connector none are armed.
    const auto owned = makeWorkspace(Doorbell);
    LinuxWorkspace &workspace = *owned;
    const QString gamma = QStringLiteral("org.vorntest.Gamma");
    workspace.setWatchedBundleIDs({gamma, QStringLiteral("org.vorntest.Beta")});
    QCOMPARE(workspace.doorbellPrograms(), QStringList{bin(QStringLiteral("beta"))});

    // The application is installed while the workspace runs: its program gets a doorbell.
    installProgram(QStringLiteral("gamma"));
    writeEntry(gamma, bin(QStringLiteral("gamma")));
    const auto watched = [&] {
        const QStringList programs = workspace.doorbellPrograms();
        return QSet<QString>(programs.cbegin(), programs.cend());
    };
    QTRY_COMPARE_WITH_TIMEOUT(watched(), (QSet<QString>{bin("beta"), bin("gamma")}), 5000);
    workspace.setWatchedBundleIDs({});
    QCOMPARE(workspace.doorbellPrograms(), QStringList());
}

// A proc root of our own making whose one process is a real one: its files are the kernel's
// except the cgroup and the file-system root, which say what a Flatpak application under systemd
// would show. The notice and the termination work on the real process.
void tst_LinuxWorkspace::resolvesThroughAnInjectedProcRoot()
{
    QTemporaryDir proc;
    QVERIFY(proc.isValid());
    for (const char *file : {"loadavg", "uptime", "sys"})
        QVERIFY(QFile::link(QStringLiteral("/proc/") + file, proc.filePath(file)));

    LinuxWorkspace::Options options;
    options.procRoot = proc.path();
    options.useProcessConnector = false;
    LinuxWorkspace workspace(options);
    QSignalSpy notices(&workspace, &Workspace::didLaunchApplication);

    QProcess *process = launch(bin(QStringLiteral("unlisted")), {"60"});
    const qint64 pid = process->processId();
    const QString folder = proc.filePath(QString::number(pid));
    QDir().mkpath(folder + "/root");
    for (const char *file : {"stat", "status", "exe", "cmdline", "environ", "cwd"})
        QVERIFY(QFile::link(QStringLiteral("/proc/%1/%2").arg(pid).arg(file),
                            folder + QLatin1Char('/') + file));
    QVERIFY(TestHome::writeFile(folder + "/root/.flatpak-info",
                                "[Application]\nname=org.vorntest.Flat\n"));
    QVERIFY(TestHome::writeFile(folder + "/cgroup",
                                "0::/user.slice/app-gnome-org.vorntest.Scoped-77.scope\n"));

    // Met at the next full listing at the latest; the parent (this test) is not in this root,
    // so the process is the root of its application.
    QTRY_VERIFY_WITH_TIMEOUT(!notices.isEmpty(), 6000);
    const auto application = notices.first().first().value<RunningApplication>();
    QCOMPARE(application.pid, pid);
    QCOMPARE(application.bundleIdentifier, QStringLiteral("org.vorntest.Scoped"));

    QVERIFY(workspace.forceTerminate(application));
    QVERIFY(process->waitForFinished(5000));
    QCOMPARE(process->exitStatus(), QProcess::CrashExit);
}

QTEST_GUILESS_MAIN(tst_LinuxWorkspace)
#include "tst_linuxworkspace.moc"
