#include "processgroups.h"
#include "testhome.h"
#include "workspace_linux.h"

#include <QJsonDocument>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
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

    QString bin(const QString &name) const { return m_home.bin(name); }
    static qint64 parentOf(qint64 pid) { return statField(pid, 1).toLongLong(); }
    static quint64 startTimeOf(qint64 pid) { return statField(pid, 19).toULongLong(); }
    static QString exeOf(qint64 p) { return QFile::symLinkTarget(QString("/proc/%1/exe").arg(p)); }
    void writeEntry(const QString &id, const QString &exec)
    {
        QVERIFY(TestHome::writeFile(
                m_home.path(QStringLiteral(".local/share/applications/%1.desktop").arg(id)),
                "[Desktop Entry]\nType=Application\nName=" + id.toUtf8() + "\nExec=" + exec.toUtf8()
                        + "\n"));
    }

    std::unique_ptr<LinuxWorkspace> makeWorkspace(Path path, uint user = ::getuid())
    {
        LinuxWorkspace::Options options;
        options.user = user;
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
        m_home.installProgram(QStringLiteral("alpha"), QStringLiteral("org.vorntest.Alpha"));
        m_home.installProgram(QStringLiteral("beta"), QStringLiteral("org.vorntest.Beta"));
        m_home.installProgram(QStringLiteral("unlisted"));
        m_home.installProgram(QStringLiteral("launch-alpha"), QString(),
                              "exec " + alpha + " \"$@\"\n");
        m_home.installProgram(QStringLiteral("tree.sh"), QStringLiteral("org.vorntest.Tree"),
                              alpha + " 60 &\n" + unlisted + " 60 &\nwait\n");
        m_home.installProgram(QStringLiteral("launched"));
        m_home.installProgram(QStringLiteral("launcher.sh"),
                              QStringLiteral("org.vorntest.Launcher"),
                              "sleep 0.3\nexec \"" + bin("launched").toUtf8() + "\" \"$@\"\n");
        // Two entries sharing one program (a copy of sh), and two that nothing tells apart.
        for (const char *name : {"shared", "twin"}) {
            QVERIFY(QFile::copy(QStringLiteral("/bin/sh"), bin(name)));
            QVERIFY(QFile::setPermissions(bin(name), QFile::ReadOwner | QFile::ExeOwner));
        }
        writeEntry(QStringLiteral("org.vorntest.Editor"), bin("shared") + " %U");
        writeEntry(QStringLiteral("org.vorntest.EditorSettings"), bin("shared") + " --preferences");
        writeEntry(QStringLiteral("org.vorntest.TwinA"), bin("twin") + " %U");
        writeEntry(QStringLiteral("org.vorntest.TwinB"), bin("twin") + " %F");
        // An entry's script that execs another entry's program (as UXTerm's execs xterm), and a
        // chain of two scripts ending in a binary no entry names.
        m_home.installProgram(QStringLiteral("ux.sh"), QStringLiteral("org.vorntest.UX"),
                              "sleep 0.3\nexec " + alpha + " 60\n");
        m_home.installProgram(QStringLiteral("chained"));
        m_home.installProgram(QStringLiteral("chain2.sh"), QString(),
                              "exec \"" + bin("chained").toUtf8() + "\" \"$@\"\n");
        m_home.installProgram(QStringLiteral("chain1.sh"), QStringLiteral("org.vorntest.Chain"),
                              "sleep 0.3\nexec \"" + bin("chain2.sh").toUtf8() + "\" \"$@\"\n");
        // Another user (nobody) must be able to run alpha from here.
        for (const QString &path : {m_home.path(), bin(QString()), bin("alpha")})
            QFile::setPermissions(path,
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                          | QFile::ReadOther | QFile::ExeOther);
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
        QTest::addColumn<QString>("expected"); // empty: no notice at all
        QTest::addColumn<bool>("otherUser"); // the watcher follows nobody, the test runs as root

        const QString alpha = QStringLiteral("org.vorntest.Alpha"), a = bin("alpha");
        const auto sh = [](const QString &command) {
            return QStringList{"/bin/sh", "-c", command};
        };
        const QString launchedByGio
                = "exec env GIO_LAUNCHED_DESKTOP_FILE=/nowhere/org.vorntest.Gio.desktop "
                  "GIO_LAUNCHED_DESKTOP_FILE_PID=$$ "
                + bin("unlisted") + " 60";
        const char *names[] = {"poll", "doorbell", "connector"};
        const QStringList asNobody{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        for (int path : {Poll, Doorbell, Connector}) {
            const char *name = names[path];
            QTest::addRow("%s: shared program, files only", name)
                    << path << QStringList{bin("shared"), "-c", "sleep 60; true", "notes.txt"}
                    << QStringLiteral("org.vorntest.Editor") << false;
            QTest::addRow("%s: shared program, an entry's option", name)
                    << path << QStringList{bin("shared"), "-c", "sleep 60; true", "--preferences"}
                    << QStringLiteral("org.vorntest.EditorSettings") << false;
            QTest::addRow("%s: shared program, nothing tells the entries apart", name)
                    << path << QStringList{bin("twin"), "-c", "sleep 60; true"} << QString()
                    << false;
            QTest::addRow("%s: script execs another entry's program", name)
                    << path << QStringList{bin("ux.sh")} << QStringLiteral("org.vorntest.UX")
                    << false;
            QTest::addRow("%s: chain of two scripts", name)
                    << path << QStringList{bin("chain1.sh"), "60"}
                    << QStringLiteral("org.vorntest.Chain") << false;
            QTest::addRow("%s: switches to the user before its exec", name)
                    << path << asNobody + QStringList{a, "60"} << alpha << true;
            QTest::addRow("%s: another user's for a while, then switches", name)
                    << path << sh("sleep 0.5; exec " + asNobody.join(' ') + ' ' + a + " 60")
                    << alpha << true;
            QTest::addRow("%s: direct", name) << path << QStringList{a, "60"} << alpha << false;
            QTest::addRow("%s: sh -c", name) << path << sh(a + " 60; true") << alpha << false;
            QTest::addRow("%s: wrapper script that execs", name)
                    << path << QStringList{bin("launch-alpha"), "60"} << alpha << false;
            QTest::addRow("%s: exec after a pause", name)
                    << path << sh("sleep 0.4; exec " + a + " 60") << alpha << false;
            if (path != Doorbell) // nothing names its program, so it has no doorbell
                QTest::addRow("%s: GIO launch environment", name)
                        << path << sh(launchedByGio) << QStringLiteral("org.vorntest.Gio") << false;
            if (path != Poll) // the poll looks again only at processes younger than two seconds
                QTest::addRow("%s: old process execs", name)
                        << path << sh("sleep 2.5; exec " + a + " 60") << alpha << false;
        }
    }

    void noticesEachLaunchOnce()
    {
        QFETCH(int, path);
        QFETCH(QStringList, command);
        QFETCH(QString, expected);
        QFETCH(bool, otherUser);

        if (otherUser && (::getuid() != 0 || QStandardPaths::findExecutable("setpriv").isEmpty()))
            QSKIP("switching to another user needs root and setpriv");
        auto workspace = makeWorkspace(Path(path), otherUser ? 65534 : ::getuid());
        if (path == Connector && !workspace->usesProcessConnector())
            QSKIP("the process connector needs CAP_NET_ADMIN");
        QCOMPARE(workspace->usesProcessConnector(), path == Connector);
        if (path == Doorbell)
            workspace->setWatchedBundleIDs({expected, QStringLiteral("org.vorntest.Alpha")});

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
        const auto fromLaunch = [&](const RunningApplication &application) {
            return application.pid == launched || parentOf(application.pid) == launched;
        };
        const auto ours = [&](const RunningApplication &application) {
            return application.bundleIdentifier == expected && fromLaunch(application);
        };
        if (expected.isEmpty()) {
            // A later launch that is noticed shows that the watcher has looked.
            const qint64 fence = launch(bin(QStringLiteral("alpha")));
            QTRY_VERIFY_WITH_TIMEOUT(std::any_of(notices.cbegin(), notices.cend(),
                                                 [&](const auto &a) { return a.pid == fence; }),
                                     6000);
            QTest::qWait(300);
            QCOMPARE(std::count_if(notices.cbegin(), notices.cend(), fromLaunch), 0);
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(std::any_of(notices.cbegin(), notices.cend(), ours), 6000);
        QTest::qWait(300);
        QCOMPARE(std::count_if(notices.cbegin(), notices.cend(), ours), 1);
        QCOMPARE(std::count_if(notices.cbegin(), notices.cend(), fromLaunch), 1);
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
        QTRY_COMPARE_WITH_TIMEOUT(exeOf(script), bin(QStringLiteral("launched")), 5000);

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

    // The binary an entry's scripts exec is learned as that application's, kept in the cache,
    // and forgotten once an entry names it.
    void learnsWhatLaunchersExec()
    {
        const QString chain = QStringLiteral("org.vorntest.Chain");
        const QString cache = m_home.path(QStringLiteral(".cache/vorn/learned-programs.json"));
        const auto learned = [&] {
            QFile file(cache);
            return file.open(QIODevice::ReadOnly)
                    ? QJsonDocument::fromJson(file.readAll())[bin("chained")].toString()
                    : QString();
        };
        // The identifier of the notice for a direct start of the program (empty: none in time).
        const auto noticeFor = [&](LinuxWorkspace &workspace, const QString &program) {
            QSignalSpy notices(&workspace, &Workspace::didLaunchApplication);
            const qint64 pid = launch(bin(program));
            QString id;
            (void)QTest::qWaitFor(
                    [&] {
                        for (const QList<QVariant> &args : std::as_const(notices)) {
                            const auto app = args.first().value<RunningApplication>();
                            id = app.pid == pid ? app.bundleIdentifier : id;
                        }
                        return !id.isEmpty();
                    },
                    6000);
            return id;
        };
        {
            LinuxWorkspace workspace;
            const qint64 script = launch(bin(QStringLiteral("chain1.sh")), {"60"});
            QTRY_COMPARE_WITH_TIMEOUT(exeOf(script), bin(QStringLiteral("chained")), 5000);
            QTRY_COMPARE_WITH_TIMEOUT(learned(), chain, 5000);
            QCOMPARE(noticeFor(workspace, QStringLiteral("chained")), chain);
        }
        LinuxWorkspace workspace; // reads what was learned
        QCOMPARE(noticeFor(workspace, QStringLiteral("chained")), chain);
        writeEntry(QStringLiteral("org.vorntest.Chained"), bin("chained"));
        QTRY_COMPARE_WITH_TIMEOUT(learned(), QString(), 5000);
        QCOMPARE(noticeFor(workspace, QStringLiteral("chained")),
                 QStringLiteral("org.vorntest.Chained"));
        QFile::remove(m_home.path(".local/share/applications/org.vorntest.Chained.desktop"));
    }

    // With the poll at a crawl and no doorbell, only the safety net can notice the launch.
    void safetyNetCatchesMissedLaunches()
    {
        LinuxWorkspace::Options options;
        options.useProcessConnector = false;
        options.pollIntervalMs = 600000;
        options.sweepIntervalMs = 200;
        LinuxWorkspace workspace(options);
        QSignalSpy notices(&workspace, &Workspace::didLaunchApplication);
        workspace.setSafetyNetEnabled(true);
        const qint64 pid = launch(bin(QStringLiteral("alpha")));
        QTRY_COMPARE_WITH_TIMEOUT(notices.count(), 1, 5000);
        const auto application = notices.first().first().value<RunningApplication>();
        QCOMPARE(application.pid, pid);
        QCOMPARE(application.bundleIdentifier, QStringLiteral("org.vorntest.Alpha"));
        QTest::qWait(500); // a few more sweeps: announced once
        QCOMPARE(notices.count(), 1);
    }

    void doorbellsFollowTheIndex()
    {
        const auto workspace = makeWorkspace(Doorbell);
        const QString gamma = QStringLiteral("org.vorntest.Gamma");
        workspace->setWatchedBundleIDs({gamma, QStringLiteral("org.vorntest.Beta")});
        QCOMPARE(workspace->doorbellPrograms(), QStringList{bin(QStringLiteral("beta"))});

        // Installed while the workspace runs: its program gets a doorbell.
        m_home.installProgram(QStringLiteral("gamma"), gamma);
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
