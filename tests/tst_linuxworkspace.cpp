#include "processgroups.h"
#include "testhome.h"
#include "workspace_linux.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>
#include <QThread>

#include <array>
#include <memory>

#include <csignal>
#include <unistd.h>

// Real processes (copies of sleep) named by desktop entries in a temporary HOME.
class tst_LinuxWorkspace : public QObject
{
    Q_OBJECT

    // SafetyNet: the poll at a crawl and no doorbell, so only the safety net can notice a launch.
    enum Path { Poll, Doorbell, Connector, SafetyNet };
    TestHome m_home;
    ProcessGroups m_groups;

    QString bin(const QString &name) const { return m_home.bin(name); }
    qint64 launch(const QString &program, const QStringList &arguments = {"60"})
    {
        return m_groups.launch(program, arguments).processId();
    }
    // The launcher scripts (*.sh) wait here until the test has seen them.
    QByteArray gate() const { return ProcessGroups::gate(m_home.path("gate")); }
    bool openGate() const { return ProcessGroups::openGate(m_home.path("gate")); }
    // The identifiers that the notices caught so far give for this PID.
    static QStringList noticesFor(const QSignalSpy &notices, qint64 pid)
    {
        QStringList ids;
        for (const QList<QVariant> &arguments : notices) {
            const auto application = arguments.first().value<RunningApplication>();
            if (application.pid == pid)
                ids << application.bundleIdentifier;
        }
        return ids;
    }

    std::unique_ptr<LinuxWorkspace> makeWorkspace(Path path, uint user = ::getuid())
    {
        LinuxWorkspace::Options options;
        options.user = user;
        options.useProcessConnector = path == Connector;
        // With the poll slowed to a crawl, a notice in time can only come from the path under test.
        if (path != Poll)
            options.pollIntervalMs = 600000;
        options.sweepIntervalMs = path == SafetyNet ? 200 : options.sweepIntervalMs;
        auto workspace = std::make_unique<LinuxWorkspace>(options);
        workspace->setSafetyNetEnabled(path == SafetyNet);
        return workspace;
    }

private Q_SLOTS:
    void initTestCase()
    {
        qunsetenv("VORN_NO_PROC_CONNECTOR");
        const QByteArray alpha = '"' + bin("alpha").toUtf8() + '"';
        const QByteArray unlisted = '"' + bin("unlisted").toUtf8() + '"';
        m_home.installProgram("alpha", "org.vorntest.Alpha");
        m_home.installProgram("beta", "org.vorntest.Beta");
        m_home.installProgram("unlisted");
        m_home.installProgram("launch-alpha", {}, "exec " + alpha + " \"$@\"\n");
        const QByteArray record = " 60 & echo $! >> '" + m_home.path("tree").toUtf8() + "'\n";
        m_home.installProgram("tree.sh", "org.vorntest.Tree",
                              alpha + record + unlisted + record + "wait\n");
        // Two entries sharing one program (a copy of sh), and two that nothing tells apart.
        for (const char *name : {"shared", "twin"}) {
            QVERIFY(QFile::copy("/bin/sh", bin(name)));
            QVERIFY(QFile::setPermissions(bin(name), QFile::ReadOwner | QFile::ExeOwner));
        }
        for (const auto &[id, arguments] : {std::pair{"Editor", ""},
                                            {"EditorSettings", " --preferences"},
                                            {"TwinA", ""},
                                            {"TwinB", " %F"}})
            m_home.addApplication(QStringLiteral("org.vorntest.") + id, id, {},
                                  bin(id[0] == 'T' ? "twin" : "shared") + arguments);
        // Entry scripts that exec another entry's program (as UXTerm's), or one that no entry
        // names.
        m_home.installProgram("ux.sh", "org.vorntest.UX", gate() + "exec " + alpha + " 60\n");
        m_home.installProgram("chained");
        m_home.installProgram("chain2.sh", {}, "exec \"" + bin("chained").toUtf8() + "\" \"$@\"\n");
        m_home.installProgram("chain1.sh", "org.vorntest.Chain",
                              gate() + "exec \"" + bin("chain2.sh").toUtf8() + "\" \"$@\"\n");
        // A Flatpak as its sandbox starts it: a wrapper execs the deployed program, which no
        // entry names (the entry runs `flatpak run`).
        const QString flat = m_home.path(".local/share/flatpak/app/org.vorntest.Flat/current/"
                                         "active/files/bin/flat");
        QVERIFY(QDir().mkpath(QFileInfo(flat).path()) && QFile::copy(bin("alpha"), flat));
        m_home.installProgram("flatpak-run", {},
                              "FLATPAK_ID=org.vorntest.Flat exec " + flat.toUtf8() + " \"$@\"\n");
        m_home.addApplication("org.vorntest.Flat", "Flat", {}, "flatpak run org.vorntest.Flat");
        // Another user (nobody) must be able to run alpha from here.
        for (const QString &path : {m_home.path(), bin(QString()), bin("alpha")})
            QFile::setPermissions(path,
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                          | QFile::ReadOther | QFile::ExeOther);
    }

    void cleanup()
    {
        m_groups.killAll();
        QFile::remove(m_home.path("gate"));
    }

    void noticesEachLaunchOnce_data()
    {
        QTest::addColumn<int>("path");
        QTest::addColumn<QStringList>("command");
        QTest::addColumn<QString>("expected"); // empty: no notice at all
        QTest::addColumn<bool>("otherUser"); // the watcher follows nobody, the test runs as root

        const QString alpha = "org.vorntest.Alpha", a = bin("alpha");
        const auto sh = [](const QString &command) {
            return QStringList{"/bin/sh", "-c", command};
        };
        const QString gio = "exec env GIO_LAUNCHED_DESKTOP_FILE=/nowhere/org.vorntest.Gio.desktop "
                            "GIO_LAUNCHED_DESKTOP_FILE_PID=$$ "
                + bin("unlisted") + " 60";
        const QStringList asNobody{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        for (const int path : {Poll, Doorbell, Connector}) {
            const auto row = [path](const char *name, const QStringList &command,
                                    const QString &expected, bool otherUser = false) {
                QTest::addRow("%s: %s", std::array{"poll", "doorbell", "connector"}[path], name)
                        << path << command << expected << otherUser;
            };
            // How the index tells entries apart is its own table; once end to end is enough.
            if (path == Poll) {
                row("shared program, files only",
                    {bin("shared"), "-c", "sleep 60; true", "notes.txt"}, "org.vorntest.Editor");
                row("shared program, an entry's option",
                    {bin("shared"), "-c", "sleep 60; true", "--preferences"},
                    "org.vorntest.EditorSettings");
                row("shared program, nothing tells the entries apart",
                    {bin("twin"), "-c", "sleep 60; true"}, {});
            }
            row("script execs another entry's program", {bin("ux.sh")}, "org.vorntest.UX");
            row("chain of two scripts", {bin("chain1.sh"), "60"}, "org.vorntest.Chain");
            row("switches to the user before its exec", asNobody + QStringList{a, "60"}, alpha,
                true);
            row("another user's for a while, then switches",
                sh("sleep 0.5; exec " + asNobody.join(' ') + ' ' + a + " 60"), alpha, true);
            row("direct", {a, "60"}, alpha);
            row("Flatpak's deployed program", {bin("flatpak-run"), "60"}, "org.vorntest.Flat");
            row("sh -c", sh(a + " 60; true"), alpha);
            row("wrapper script that execs", {bin("launch-alpha"), "60"}, alpha);
            row("exec after a pause", sh("sleep 0.4; exec " + a + " 60"), alpha);
            if (path != Doorbell) // nothing names its program, so it has no doorbell
                row("GIO launch environment", sh(gio), "org.vorntest.Gio");
            if (path != Poll) // the poll looks again only at processes younger than two seconds
                row("old process execs", sh("sleep 2.5; exec " + a + " 60"), alpha);
        }
        QTest::newRow("safety net: direct")
                << int(SafetyNet) << QStringList{a, "60"} << alpha << false;
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
            workspace->setWatchedBundleIDs({expected, "org.vorntest.Alpha"});

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
            return application.pid == launched
                    || ProcessGroups::parentOf(application.pid) == launched;
        };
        const auto ours = [&](const RunningApplication &application) {
            return application.bundleIdentifier == expected && fromLaunch(application);
        };
        // When none is expected, the notice of a later launch shows that the watcher has looked.
        const qint64 fence = expected.isEmpty() ? launch(bin("alpha")) : 0;
        const auto seen = [&](const RunningApplication &application) {
            return fence ? application.pid == fence : ours(application);
        };
        QTRY_VERIFY_WITH_TIMEOUT(std::any_of(notices.cbegin(), notices.cend(), seen), 6000);
        if (command.first().endsWith(".sh"))
            QVERIFY(openGate());
        QTest::qWait(300);
        QCOMPARE(std::count_if(notices.cbegin(), notices.cend(), fromLaunch), fence ? 0 : 1);
        QVERIFY(onMainThread);
        const RunningApplication notice = *std::find_if(notices.cbegin(), notices.cend(), seen);
        QCOMPARE(notice.startTime, ProcessGroups::startTimeOf(notice.pid));
    }

    void listsAndTerminatesApplications()
    {
        LinuxWorkspace workspace;
        const qint64 alpha = launch(bin("alpha")), beta = launch(bin("beta"));
        const qint64 unlisted = launch(bin("unlisted"));
        // A script that starts an application of its own (alpha) and a helper (unlisted).
        QProcess &tree = m_groups.launch(bin("tree.sh"), {});
        const auto children = [&] {
            return TestHome::readFile(m_home.path("tree")).split('\n');
        };
        QTRY_COMPARE_WITH_TIMEOUT(children().size(), 3, 5000); // two lines
        const qint64 child = children()[0].toLongLong(), helper = children()[1].toLongLong();
        QTRY_COMPARE_WITH_TIMEOUT(ProcessGroups::exeOf(child), bin("alpha"), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(ProcessGroups::exeOf(helper), bin("unlisted"), 5000);

        QHash<qint64, RunningApplication> byPid;
        for (const RunningApplication &application : workspace.runningApplications())
            byPid.insert(application.pid, application);
        QCOMPARE(byPid.value(alpha).bundleIdentifier, "org.vorntest.Alpha");
        QCOMPARE(byPid.value(alpha).startTime, ProcessGroups::startTimeOf(alpha));
        QCOMPARE(byPid.value(beta).bundleIdentifier, "org.vorntest.Beta");
        QCOMPARE(byPid.value(child).bundleIdentifier, "org.vorntest.Alpha");
        // Nothing names them, so they belong to the application that started them.
        QVERIFY(!byPid.contains(unlisted) && !byPid.contains(helper) && !byPid.contains(1));

        // The root goes with its helper; the application it started stays.
        const RunningApplication root = byPid.value(tree.processId());
        QCOMPARE(root.bundleIdentifier, "org.vorntest.Tree");
        QVERIFY(workspace.forceTerminate(root));
        QVERIFY(tree.waitForFinished(5000));
        QCOMPARE(tree.exitStatus(), QProcess::CrashExit);
        QTRY_VERIFY_WITH_TIMEOUT(ProcessGroups::isGone(helper), 5000);
        QTest::qWait(100);
        QVERIFY(!ProcessGroups::isGone(child));
        ::kill(pid_t(child), SIGKILL);
        // The same PID and start time again: the process has gone, nothing is sent.
        QVERIFY(!workspace.forceTerminate(root));
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
        if (pid == -2 && ::getuid() != 0)
            QSKIP("starting another user's process needs root");
        LinuxWorkspace workspace;
        RunningApplication application{pid, 0, "org.vorntest.Alpha"};
        if (pid == -1) {
            application.pid = launch(bin("alpha"));
            application.startTime = ProcessGroups::startTimeOf(application.pid) + 1;
        } else if (pid == -2) {
            application.pid = launch(
                    "setpriv",
                    {"--reuid=65534", "--regid=65534", "--clear-groups", "/bin/sleep", "60"});
            QTRY_VERIFY_WITH_TIMEOUT(ProcessGroups::exeOf(application.pid).endsWith("sleep"), 5000);
        }
        if (!application.startTime)
            application.startTime = ProcessGroups::startTimeOf(application.pid);

        QVERIFY(!workspace.forceTerminate(application));
        QTest::qWait(100);
        QVERIFY(!ProcessGroups::isGone(application.pid));
    }

    // What an entry's scripts exec is learned as its program, cached, forgotten once an entry names
    // it.
    void learnsWhatLaunchersExec()
    {
        const QString chain = "org.vorntest.Chain";
        const auto learned = [&] {
            return QJsonDocument::fromJson(TestHome::readFile(
                    m_home.path(".cache/vorn/learned-programs.json")))[bin("chained")]
                    .toString();
        };
        // The identifier of the notice for a direct start of the program (empty: none in time).
        const auto noticeFor = [&](LinuxWorkspace &workspace) {
            QSignalSpy notices(&workspace, &Workspace::didLaunchApplication);
            const qint64 pid = launch(bin("chained"));
            (void)QTest::qWaitFor([&] { return !noticesFor(notices, pid).isEmpty(); }, 6000);
            return noticesFor(notices, pid).value(0);
        };
        {
            LinuxWorkspace workspace;
            QSignalSpy notices(&workspace, &Workspace::didLaunchApplication);
            const qint64 script = launch(bin("chain1.sh"));
            QTRY_COMPARE_WITH_TIMEOUT(noticesFor(notices, script), QStringList{chain}, 5000);
            QVERIFY(openGate());
            QTRY_COMPARE_WITH_TIMEOUT(ProcessGroups::exeOf(script), bin("chained"), 5000);
            QTRY_COMPARE_WITH_TIMEOUT(learned(), chain, 5000);
            // The script, now running a program no entry names, is still listed as the entry's.
            const auto listed = workspace.runningApplications();
            QVERIFY(std::any_of(listed.cbegin(), listed.cend(), [&](const auto &application) {
                return application.pid == script && application.bundleIdentifier == chain;
            }));
            QCOMPARE(noticeFor(workspace), chain);
        }
        LinuxWorkspace workspace; // reads what was learned
        QCOMPARE(noticeFor(workspace), chain);
        const QString entry
                = m_home.addApplication("org.vorntest.Chained", "Chained", {}, bin("chained"));
        QTRY_COMPARE_WITH_TIMEOUT(learned(), QString(), 5000);
        QCOMPARE(noticeFor(workspace), "org.vorntest.Chained");
        QFile::remove(entry);
    }

    void doorbellsFollowTheIndex()
    {
        const auto workspace = makeWorkspace(Doorbell);
        workspace->setWatchedBundleIDs({"org.vorntest.Gamma", "org.vorntest.Beta"});
        QCOMPARE(workspace->doorbellPrograms(), QStringList{bin("beta")});

        // Installed while the workspace runs: its program gets a doorbell.
        m_home.installProgram("gamma", "org.vorntest.Gamma");
        const auto watched = [&] {
            const QStringList programs = workspace->doorbellPrograms();
            return QSet<QString>(programs.cbegin(), programs.cend());
        };
        QTRY_COMPARE_WITH_TIMEOUT(watched(), (QSet<QString>{bin("beta"), bin("gamma")}), 5000);
        workspace->setWatchedBundleIDs({});
        QCOMPARE(workspace->doorbellPrograms(), QStringList());
    }
};

QTEST_GUILESS_MAIN(tst_LinuxWorkspace)
#include "tst_linuxworkspace.moc"
