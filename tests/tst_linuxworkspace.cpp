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
    // A script line that waits until the test opens the gate: the script is seen before its exec.
    QByteArray gate() const
    {
        return "until rm '" + QFile::encodeName(m_home.path("gate"))
                + "' 2>/dev/null; do sleep 0.05; done\n";
    }
    // Opens the gate; true once a script has passed it.
    bool openGate() const
    {
        QFile file(m_home.path("gate"));
        return file.open(QIODevice::WriteOnly)
                && QTest::qWaitFor([&] { return !file.exists(); }, 10000);
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
        const QByteArray record = " 60 & echo $! >> '" + m_home.path("tree").toUtf8() + "'\n";
        m_home.installProgram("tree.sh", "org.vorntest.Tree",
                              alpha + record + unlisted + record + "wait\n");
        // An entry's script that execs another entry's program (as UXTerm's).
        m_home.installProgram("ux.sh", "org.vorntest.UX", gate() + "exec " + alpha + " 60\n");
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
        QTest::addColumn<QString>("expected");
        QTest::addColumn<bool>("otherUser"); // the watcher follows nobody, the test runs as root

        const QString alpha = "org.vorntest.Alpha", a = bin("alpha");
        const auto sh = [](const QString &command) {
            return QStringList{"/bin/sh", "-c", command};
        };
        const QStringList asNobody{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        for (const int path : {Poll, Doorbell, Connector}) {
            const auto row = [path](const char *name, const QStringList &command,
                                    const QString &expected, bool otherUser = false) {
                QTest::addRow("%s: %s", std::array{"poll", "doorbell", "connector"}[path], name)
                        << path << command << expected << otherUser;
            };
            row("script execs another entry's program", {bin("ux.sh")}, "org.vorntest.UX");
            row("switches to the user before its exec", asNobody + QStringList{a, "60"}, alpha,
                true);
            row("another user's for a while, then switches",
                sh("sleep 0.5; exec " + asNobody.join(' ') + ' ' + a + " 60"), alpha, true);
            row("direct", {a, "60"}, alpha);
            row("Flatpak's deployed program", {bin("flatpak-run"), "60"}, "org.vorntest.Flat");
            row("sh -c", sh(a + " 60; true"), alpha);
            row("exec after a pause", sh("sleep 0.4; exec " + a + " 60"), alpha);
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
        QTRY_VERIFY_WITH_TIMEOUT(std::any_of(notices.cbegin(), notices.cend(), ours), 6000);
        if (command.first().endsWith(".sh"))
            QVERIFY(openGate());
        QTest::qWait(300);
        QCOMPARE(std::count_if(notices.cbegin(), notices.cend(), fromLaunch), 1);
        QVERIFY(onMainThread);
        const RunningApplication notice = *std::find_if(notices.cbegin(), notices.cend(), ours);
        QCOMPARE(notice.startTime, ProcessGroups::startTimeOf(notice.pid));
    }

    void listsAndTerminatesApplications()
    {
        LinuxWorkspace workspace;
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
        QCOMPARE(byPid.value(child).bundleIdentifier, "org.vorntest.Alpha");

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

    // A program learned as an application's is forgotten once an entry names it.
    void forgetsLearnedProgramsAnEntryNames()
    {
        const QString file = m_home.path(".cache/vorn/learned-programs.json");
        QVERIFY(TestHome::writeFile(
                file, "{\"" + bin("unlisted").toUtf8() + "\": \"org.vorntest.Beta\"}"));
        LinuxWorkspace workspace;
        QSignalSpy notices(&workspace, &Workspace::didLaunchApplication);
        launch(bin("unlisted"));
        QTRY_COMPARE_WITH_TIMEOUT(notices.size(), 1, 5000); // named by what was learned
        QCOMPARE(notices[0][0].value<RunningApplication>().bundleIdentifier, "org.vorntest.Beta");
        const QString entry
                = m_home.addApplication("org.vorntest.Unlisted", "Unlisted", {}, bin("unlisted"));
        QTRY_COMPARE_WITH_TIMEOUT(QJsonDocument::fromJson(TestHome::readFile(file)).object().size(),
                                  0, 5000);
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
