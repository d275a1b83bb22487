#include "processgroups.h"
#include "testhome.h"
#include "workspace_linux.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <memory>

#include <csignal>
#include <unistd.h>

// Real processes (copies of sleep) named by desktop entries in a temporary HOME.
class tst_LinuxWorkspace : public QObject
{
    Q_OBJECT

    enum Path { Poll, Doorbell, Connector };
    TestHome m_home;
    QList<QProcess *> m_processes;
    ProcessGroups m_groups;

    QString bin(const QString &name) const { return m_home.path(QStringLiteral("bin/") + name); }
    static qint64 parentOf(qint64 pid) { return statField(pid, 1).toLongLong(); }
    static quint64 startTimeOf(qint64 pid) { return statField(pid, 19).toULongLong(); }
    static QString exeOf(qint64 p) { return QFile::symLinkTarget(QString("/proc/%1/exe").arg(p)); }
    void installProgram(const QString &name, const QString &id = QString(),
                        const QByteArray &script = QByteArray())
    {
        QDir().mkpath(bin(QString()));
        if (script.isEmpty())
            QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), bin(name)));
        else
            QVERIFY(TestHome::writeFile(bin(name), "#!/bin/sh\n" + script));
        QVERIFY(QFile::setPermissions(bin(name),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        if (!id.isEmpty())
            QVERIFY(TestHome::writeFile(
                    m_home.path(QStringLiteral(".local/share/applications/%1.desktop").arg(id)),
                    "[Desktop Entry]\nType=Application\nName=" + id.toUtf8()
                            + "\nExec=" + bin(name).toUtf8() + " %U\n"));
    }

    std::unique_ptr<LinuxWorkspace> makeWorkspace(Path path)
    {
        LinuxWorkspace::Options options;
        options.useProcessConnector = path == Connector;
        // With the poll slowed to a crawl, a notice in time can only come from the path under test.
        if (path != Poll)
            options.pollIntervalMs = 600000;
        return std::make_unique<LinuxWorkspace>(options);
    }

    qint64 launch(const QString &program, const QStringList &arguments = {"60"})
    {
        auto *process = new QProcess;
        m_processes.append(process);
        if (!m_groups.start(*process, program, arguments))
            qWarning() << "could not start" << program << process->errorString();
        return process->processId();
    }

    static QByteArray statField(qint64 pid, int index) // fields after the name, from 0
    {
        QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
        const QByteArray text = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        return text.mid(text.lastIndexOf(')') + 2).split(' ').value(index);
    }

    static bool isGone(qint64 pid)
    {
        return QByteArrayList{"", "Z", "X"}.contains(statField(pid, 0));
    }

private Q_SLOTS:
    void initTestCase()
    {
        // Only the entries made here count, whatever the machine has installed.
        QDir().mkpath(m_home.path(QStringLiteral("no-data-dirs")));
        qputenv("XDG_DATA_DIRS", m_home.path(QStringLiteral("no-data-dirs")).toUtf8());
        qunsetenv("VORN_NO_PROC_CONNECTOR");

        const QByteArray alpha = '"' + bin("alpha").toUtf8() + '"';
        const QByteArray unlisted = '"' + bin("unlisted").toUtf8() + '"';
        installProgram(QStringLiteral("alpha"), QStringLiteral("org.vorntest.Alpha"));
        installProgram(QStringLiteral("beta"), QStringLiteral("org.vorntest.Beta"));
        installProgram(QStringLiteral("unlisted"));
        installProgram(QStringLiteral("launch-alpha"), QString(), "exec " + alpha + " \"$@\"\n");
        installProgram(QStringLiteral("tree.sh"), QStringLiteral("org.vorntest.Tree"),
                       alpha + " 60 &\n" + unlisted + " 60 &\nwait\n");
        installProgram(QStringLiteral("launcher.sh"), QStringLiteral("org.vorntest.Launcher"),
                       "sleep 0.3\nexec " + unlisted + " \"$@\"\n");
    }

    void cleanup()
    {
        // What the shells and scripts started goes with them.
        m_groups.killAll();
        for (QProcess *process : std::as_const(m_processes)) {
            process->kill();
            process->waitForFinished(5000);
            delete process;
        }
        m_processes.clear();
    }

    void noticesEachLaunchOnce_data()
    {
        QTest::addColumn<int>("path");
        QTest::addColumn<QStringList>("command");
        QTest::addColumn<QString>("expected");

        const QString alpha = QStringLiteral("org.vorntest.Alpha"), a = bin("alpha");
        const auto sh = [](const QString &command) {
            return QStringList{"/bin/sh", "-c", command};
        };
        const QString launchedByGio
                = "exec env GIO_LAUNCHED_DESKTOP_FILE=/nowhere/org.vorntest.Gio.desktop "
                  "GIO_LAUNCHED_DESKTOP_FILE_PID=$$ "
                + bin("unlisted") + " 60";
        const char *names[] = {"poll", "doorbell", "connector"};
        for (int path : {Poll, Doorbell, Connector}) {
            const char *name = names[path];
            QTest::addRow("%s: direct", name) << path << QStringList{a, "60"} << alpha;
            QTest::addRow("%s: sh -c", name) << path << sh(a + " 60; true") << alpha;
            QTest::addRow("%s: wrapper script that execs", name)
                    << path << QStringList{bin("launch-alpha"), "60"} << alpha;
            QTest::addRow("%s: exec after a pause", name)
                    << path << sh("sleep 0.4; exec " + a + " 60") << alpha;
            if (path != Doorbell) // nothing names its program, so it has no doorbell
                QTest::addRow("%s: GIO launch environment", name)
                        << path << sh(launchedByGio) << QStringLiteral("org.vorntest.Gio");
            if (path != Poll) // the poll looks again only at processes younger than two seconds
                QTest::addRow("%s: old process execs", name)
                        << path << sh("sleep 2.5; exec " + a + " 60") << alpha;
        }
    }

    void noticesEachLaunchOnce()
    {
        QFETCH(int, path);
        QFETCH(QStringList, command);
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

        const qint64 launched = launch(command.first(), command.mid(1));
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

    void listsRunningApplications()
    {
        LinuxWorkspace workspace;
        QSignalSpy notices(&workspace, &Workspace::didLaunchApplication);
        const qint64 alpha = launch(bin(QStringLiteral("alpha")));
        const qint64 beta = launch(bin(QStringLiteral("beta")));
        const qint64 unlisted = launch(bin(QStringLiteral("unlisted")));
        // A launcher script in Exec= that execs a program no entry names keeps its identity.
        const QString launcher = QStringLiteral("org.vorntest.Launcher");
        const qint64 script = launch(bin(QStringLiteral("launcher.sh")));
        const auto noticesFor = [&] {
            return std::count_if(
                    notices.cbegin(), notices.cend(), [&](const QList<QVariant> &args) {
                        const auto application = args.first().value<RunningApplication>();
                        return application.pid == script
                                && application.bundleIdentifier == launcher;
                    });
        };
        QTRY_COMPARE_WITH_TIMEOUT(noticesFor(), 1, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(exeOf(script), bin(QStringLiteral("unlisted")), 5000);

        QHash<qint64, RunningApplication> byPid;
        for (const RunningApplication &application : workspace.runningApplications())
            byPid.insert(application.pid, application);
        QCOMPARE(byPid.value(alpha).bundleIdentifier, QStringLiteral("org.vorntest.Alpha"));
        QCOMPARE(byPid.value(alpha).startTime, startTimeOf(alpha));
        QCOMPARE(byPid.value(beta).bundleIdentifier, QStringLiteral("org.vorntest.Beta"));
        QCOMPARE(byPid.value(script).bundleIdentifier, launcher);
        QCOMPARE(noticesFor(), 1); // the exec is no new launch
        // Nothing names it, so it belongs to the application that started it (this test).
        QVERIFY(!byPid.contains(unlisted));
        QVERIFY(!byPid.contains(1));
    }

    void terminatesRootAndSameIdentityDescendants()
    {
        LinuxWorkspace workspace;
        const qint64 root = launch(bin(QStringLiteral("tree.sh")), {});
        qint64 alpha = 0, unlisted = 0;
        const auto childrenStarted = [&] {
            alpha = unlisted = 0;
            for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
                const qint64 pid = entry.toLongLong();
                if (pid && parentOf(pid) == root && !isGone(pid))
                    (exeOf(pid) == bin(QStringLiteral("alpha")) ? alpha : unlisted) = pid;
            }
            return alpha && unlisted && exeOf(unlisted) == bin(QStringLiteral("unlisted"));
        };
        QTRY_VERIFY_WITH_TIMEOUT(childrenStarted(), 5000);

        RunningApplication application;
        for (const RunningApplication &candidate : workspace.runningApplications())
            application = candidate.pid == root ? candidate : application;
        QCOMPARE(application.bundleIdentifier, QStringLiteral("org.vorntest.Tree"));
        QVERIFY(workspace.forceTerminate(application));
        QProcess *tree = m_processes.constLast();
        QVERIFY(tree->waitForFinished(5000));
        QCOMPARE(tree->exitStatus(), QProcess::CrashExit);
        QTRY_VERIFY_WITH_TIMEOUT(isGone(unlisted), 5000); // a helper of the same application
        QTest::qWait(100);
        QVERIFY(!isGone(alpha)); // an application of its own that the tree started
        ::kill(pid_t(alpha), SIGKILL);
        // The same PID and start time again: the process has gone, nothing is sent.
        QVERIFY(!workspace.forceTerminate(application));
    }

    void refusesProcessesItMustNotTouch_data()
    {
        QTest::addColumn<qint64>("pid"); // -1: ours under another start time, -2: another user's
        QTest::newRow("PID 1") << qint64(1);
        QTest::newRow("this process") << qint64(::getpid());
        QTest::newRow("the parent of this process") << qint64(::getppid());
        QTest::newRow("same PID, other start time") << qint64(-1);
        QTest::newRow("another user's process") << qint64(-2);
    }

    void refusesProcessesItMustNotTouch()
    {
        QFETCH(qint64, pid);
        LinuxWorkspace workspace;
        RunningApplication application;
        application.bundleIdentifier = QStringLiteral("org.vorntest.Alpha");
        application.pid = pid;
        if (pid == -1) {
            application.pid = launch(bin(QStringLiteral("alpha")));
            application.startTime = startTimeOf(application.pid) + 1;
        } else if (pid == -2) {
            if (::getuid() != 0)
                QSKIP("starting another user's process needs root");
            application.pid = launch(
                    QStringLiteral("setpriv"),
                    {"--reuid=65534", "--regid=65534", "--clear-groups", "/bin/sleep", "60"});
            QTRY_VERIFY_WITH_TIMEOUT(exeOf(application.pid).endsWith(QStringLiteral("sleep")),
                                     5000);
        }
        if (!application.startTime)
            application.startTime = startTimeOf(application.pid);

        QVERIFY(!workspace.forceTerminate(application));
        QTest::qWait(100);
        QVERIFY(!isGone(application.pid));
    }

    void doorbellsFollowTheIndex()
    {
        const auto workspace = makeWorkspace(Doorbell);
        const QString gamma = QStringLiteral("org.vorntest.Gamma");
        workspace->setWatchedBundleIDs({gamma, QStringLiteral("org.vorntest.Beta")});
        QCOMPARE(workspace->doorbellPrograms(), QStringList{bin(QStringLiteral("beta"))});

        // Installed while the workspace runs: its program gets a doorbell.
        installProgram(QStringLiteral("gamma"), gamma);
        const auto watched = [&] {
            const QStringList programs = workspace->doorbellPrograms();
            return QSet<QString>(programs.cbegin(), programs.cend());
        };
        QTRY_COMPARE_WITH_TIMEOUT(watched(), (QSet<QString>{bin("beta"), bin("gamma")}), 5000);
        workspace->setWatchedBundleIDs({});
        QCOMPARE(workspace->doorbellPrograms(), QStringList());
    }

    // A real process seen through a proc root whose cgroup and .flatpak-info are ours.
    void resolvesThroughAnInjectedProcRoot()
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

        const qint64 pid = launch(bin(QStringLiteral("unlisted")));
        const QString folder = proc.filePath(QString::number(pid));
        QDir().mkpath(folder + "/root");
        for (const char *file : {"stat", "status", "exe", "cmdline", "environ", "cwd"})
            QVERIFY(QFile::link(QStringLiteral("/proc/%1/%2").arg(pid).arg(file),
                                folder + QLatin1Char('/') + file));
        QVERIFY(TestHome::writeFile(folder + "/root/.flatpak-info",
                                    "[Application]\nname=org.vorntest.Flat\n"));
        QVERIFY(TestHome::writeFile(folder + "/cgroup",
                                    "0::/user.slice/app-gnome-org.vorntest.Scoped-77.scope\n"));

        // The parent (this test) is not in this root, so the process is its application's root.
        QTRY_VERIFY_WITH_TIMEOUT(!notices.isEmpty(), 6000);
        const auto application = notices.first().first().value<RunningApplication>();
        QCOMPARE(application.pid, pid);
        QCOMPARE(application.bundleIdentifier, QStringLiteral("org.vorntest.Scoped"));
        QVERIFY(workspace.forceTerminate(application));
        QVERIFY(m_processes.constLast()->waitForFinished(5000));
        QCOMPARE(m_processes.constLast()->exitStatus(), QProcess::CrashExit);
    }
};

QTEST_GUILESS_MAIN(tst_LinuxWorkspace)
#include "tst_linuxworkspace.moc"
