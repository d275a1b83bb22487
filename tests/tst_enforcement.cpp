#include "appblocker.h"
#include "blocklist.h"
#include "deviceidentity.h"
#include "platform.h"
#include "processgroups.h"
#include "testhome.h"

#include <QTest>

#include <fcntl.h>
#include <unistd.h>

// The blocker closing real applications: copies of sleep(1) named by desktop entries.
class tst_Enforcement : public QObject
{
    Q_OBJECT

    TestHome m_home;
    ProcessGroups m_groups;
    std::unique_ptr<Platform::Services> m_services;
    int m_savedStderr = -1;
    qint64 m_logRead = 0;

    QProcess &launch(const QString &program) { return m_groups.launch(m_home.bin(program)); }
    void publish(bool blocking)
    {
        const QByteArray record = "{\"isBlocking\":" + QByteArray(blocking ? "true" : "false")
                + ",\"targetDeviceIDs\":[\""
                + DeviceIdentity(m_services->lend().keychain).currentDeviceID().toUtf8()
                + "\"],\"updatedAt\":1}";
        QVERIFY(TestHome::writeFile(m_home.cloudFolder() + "/syncedBlockState", record));
    }
    // The "Blocking" lines written to standard error since the last call, sorted.
    QByteArrayList logLines()
    {
        const QByteArray text = TestHome::readFile(m_home.path("stderr.log")).mid(m_logRead);
        m_logRead += text.size();
        QByteArrayList lines;
        for (const QByteArray &line : text.split('\n'))
            if (line.startsWith("Blocking "))
                lines << line;
        std::sort(lines.begin(), lines.end());
        return lines;
    }
    // Whether every helper that multi.sh forked (it lists their PIDs) has ended.
    bool helpersGone() const
    {
        const QByteArrayList pids = TestHome::readFile(m_home.path("helpers")).split('\n');
        return std::all_of(pids.cbegin(), pids.cend(), [](const QByteArray &pid) {
            return pid.isEmpty() || ProcessGroups::isGone(pid.toLongLong());
        });
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_home.installProgram("blocked", "org.vorntest.Blocked");
        m_home.installProgram("allowed", "org.vorntest.Allowed");
        // Not a copy of sleep: that would be the blocked programs' content.
        m_home.installProgram("nameless", {}, "exec sleep \"$@\"\n");
        QVERIFY(QFile::copy("/usr/bin/tail", m_home.bin("tail")));
        m_home.addApplication("org.vorntest.Tail", "Tail", {}, m_home.bin("tail"));
        // An application of several processes: a script and the helpers it forks.
        const QByteArray helper = '"' + m_home.bin("nameless").toUtf8() + "\" 60 & echo $! >> \""
                + m_home.path("helpers").toUtf8() + "\"\n";
        m_home.installProgram("multi.sh", "org.vorntest.Multi", helper + helper + "wait\n");
        // An entry's script that execs a blocked entry's program at once (as UXTerm's).
        m_home.installProgram("ux.sh", "org.vorntest.UX",
                              "exec \"" + m_home.bin("blocked").toUtf8() + "\" 60\n");
        m_services = std::make_unique<Platform::Services>();

        const int log = ::open(QFile::encodeName(m_home.path("stderr.log")).constData(),
                               O_WRONLY | O_CREAT | O_APPEND, 0600);
        QVERIFY(log >= 0);
        m_savedStderr = ::dup(STDERR_FILENO);
        ::dup2(log, STDERR_FILENO);
        ::close(log);
    }
    void cleanupTestCase()
    {
        m_groups.killAll();
        m_services.reset();
        if (m_savedStderr >= 0)
            ::dup2(m_savedStderr, STDERR_FILENO);
    }

    void closesBlockedApplications()
    {
        BlockList blockList(m_services->lend().userDefaults);
        AppBlocker blocker(m_services->lend(), &blockList);
        QVERIFY(!blocker.isBlocking());
        blockList.setBlockedBundleIDs({"org.vorntest.Blocked", "org.vorntest.Multi"});
        blockList.save();

        // Blocking on: a blocked application started before closes, with one line.
        QProcess *blocked = &launch("blocked"), *allowed = &launch("allowed");
        publish(true);
        QTRY_VERIFY(blocker.isBlocking());
        QTRY_COMPARE(blocked->state(), QProcess::NotRunning);
        QCOMPARE(blocked->exitStatus(), QProcess::CrashExit);
        QCOMPARE(logLines(), QByteArrayList{"Blocking org.vorntest.Blocked"});
        QCOMPARE(allowed->state(), QProcess::Running);

        // Every launch while blocking is examined: a blocked one is closed at once.
        QProcess &relaunched = launch("blocked");
        QTRY_COMPARE(relaunched.state(), QProcess::NotRunning);
        QCOMPARE(logLines(), QByteArrayList{"Blocking org.vorntest.Blocked"});

        // Closed at launch: one line, even for the helpers forked just before the kill.
        QProcess &multi = launch("multi.sh");
        QTRY_COMPARE(multi.state(), QProcess::NotRunning);
        QTest::qWait(500);
        QTRY_VERIFY(helpersGone());
        QCOMPARE(logLines(), QByteArrayList{"Blocking org.vorntest.Multi"});

        // UXTerm's way: its script execs the blocked program at once, and stays unblocked.
        for (int i = 0; i < 20; ++i) {
            QProcess &ux = launch("ux.sh");
            QTRY_VERIFY(ux.state() != QProcess::Running
                        || ProcessGroups::exeOf(ux.processId()) == m_home.bin("blocked"));
            QTest::qWait(100);
            QCOMPARE(ux.state(), QProcess::Running);
        }
        QCOMPARE(logLines(), QByteArrayList());
    }

    // A program nothing names is closed when its content is a blocked program's.
    void closesCopiesByContent_data()
    {
        QTest::addColumn<QString>("source"); // in bin/, copied to bin/copy
        QTest::addColumn<QStringList>("arguments");
        // "before": started before blocking; "deleted" once started
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("closed");

        const QStringList sleep{"60"}, tail{"-f", "/dev/null"};
        QTest::newRow("renamed copy") << "blocked" << sleep << "" << true;
        QTest::newRow("renamed copy, deleted once started")
                << "blocked" << sleep << "deleted" << true;
        QTest::newRow("renamed copy, started before blocking")
                << "blocked" << sleep << "before" << true;
        QTest::newRow("other content") << "/usr/bin/tail" << tail << "" << false;
        QTest::newRow("copy of an application not blocked") << "tail" << tail << "" << false;
    }

    void closesCopiesByContent()
    {
        QFETCH(QString, source);
        QFETCH(QStringList, arguments);
        QFETCH(QString, how);
        QFETCH(bool, closed);

        m_groups.killAll();
        const QString copy = m_home.bin("copy");
        QFile::remove(copy);
        QVERIFY(QFile::copy(source.startsWith('/') ? source : m_home.bin(source), copy));
        BlockList blockList(m_services->lend().userDefaults);
        blockList.setBlockedBundleIDs({"org.vorntest.Blocked"});
        blockList.save();
        AppBlocker blocker(m_services->lend(), &blockList);
        publish(false);
        QTRY_VERIFY(!blocker.isBlocking());
        logLines();
        QProcess *process = how == "before" ? &m_groups.launch(copy, arguments) : nullptr;
        publish(true);
        QTRY_VERIFY(blocker.isBlocking());
        if (!process)
            process = &m_groups.launch(copy, arguments);
        if (how == "deleted")
            QFile::remove(copy);
        if (closed)
            QTRY_COMPARE(process->state(), QProcess::NotRunning);
        else
            QTest::qWait(500);
        QCOMPARE(process->state() == QProcess::Running, !closed);
        QCOMPARE(logLines(),
                 closed ? QByteArrayList{"Blocking org.vorntest.Blocked"} : QByteArrayList());
    }
};

QTEST_GUILESS_MAIN(tst_Enforcement)
#include "tst_enforcement.moc"
