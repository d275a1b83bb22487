#include "appblocker.h"
#include "blocklist.h"
#include "deviceidentity.h"
#include "platform.h"
#include "testhome.h"

#include <QProcess>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

// The blocker closing real applications: copies of sleep(1) installed under desktop entries in a
// throw-away HOME, started as child processes of the test.
class tst_Enforcement : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void closesBlockedApplicationsOnlyWhileBlocking();

private:
    QString bin(const QString &name) const { return m_home.bin(name); }
    QProcess *launch(const QString &program);
    void publish(bool blocking);
    QByteArrayList logLines();

    TestHome m_home;
    std::unique_ptr<Platform::Services> m_services;
    int m_savedStderr = -1;
    QString m_logPath;
    qint64 m_logRead = 0;
};

void tst_Enforcement::initTestCase()
{
    m_home.installProgram("blocked", "org.vorntest.Blocked");
    m_home.installProgram("blocked-too", "org.vorntest.BlockedToo");
    m_home.installProgram("allowed", "org.vorntest.Allowed");
    m_home.installProgram("casey", "org.vorntest.casey");
    m_home.installProgram("nameless", QString());
    // An application of several processes: a script and the helpers it forks (their PIDs listed).
    const QByteArray nameless = '"' + bin("nameless").toUtf8() + "\" 60 & echo $! >> \""
            + m_home.path("helpers").toUtf8() + "\"\n";
    m_home.installProgram("multi.sh", "org.vorntest.Multi", nameless + nameless + "wait\n");
    // An entry's script that execs the program of another (blocked) entry, as UXTerm does.
    m_home.installProgram("ux.sh", "org.vorntest.UX",
                          "sleep 0.3\nexec \"" + bin("blocked").toUtf8() + "\" 60\n");
    m_services = std::make_unique<Platform::Services>();

    // The enforcement writes its lines to standard error: catch them in a file.
    m_logPath = m_home.path("stderr.log");
    const int log
            = ::open(QFile::encodeName(m_logPath).constData(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    QVERIFY(log >= 0);
    m_savedStderr = ::dup(STDERR_FILENO);
    ::dup2(log, STDERR_FILENO);
    ::close(log);
}

void tst_Enforcement::cleanupTestCase()
{
    m_services.reset();
    if (m_savedStderr >= 0)
        ::dup2(m_savedStderr, STDERR_FILENO);
}

QProcess *tst_Enforcement::launch(const QString &program)
{
    auto *process = new QProcess(this);
    process->start(bin(program), {"60"});
    process->waitForStarted(5000);
    return process;
}

void tst_Enforcement::publish(bool blocking)
{
    const QByteArray record = "{\"isBlocking\":" + QByteArray(blocking ? "true" : "false")
            + ",\"targetDeviceIDs\":[\""
            + DeviceIdentity(m_services->lend().keychain).currentDeviceID().toUtf8()
            + "\"],\"updatedAt\":1}";
    QVERIFY(TestHome::writeFile(m_home.cloudFolder() + "/syncedBlockState", record));
}

QByteArrayList tst_Enforcement::logLines()
{
    QFile file(m_logPath);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(m_logRead))
        return {};
    const QByteArray text = file.readAll();
    m_logRead += text.size();
    QByteArrayList lines = text.split('\n');
    lines.removeAll(QByteArray());
    lines.erase(std::remove_if(lines.begin(), lines.end(),
                               [](const QByteArray &l) { return !l.startsWith("Blocking "); }),
                lines.end());
    return lines;
}

void tst_Enforcement::closesBlockedApplicationsOnlyWhileBlocking()
{
    BlockList blockList(m_services->lend().userDefaults);
    AppBlocker blocker(m_services->lend(), &blockList);
    QVERIFY(!blocker.isBlocking());
    // A list entry that differs from an application's identifier only in case does not match it.
    blockList.setBlockedBundleIDs({"org.vorntest.Blocked", "org.vorntest.BlockedToo",
                                   "org.vorntest.Casey", "org.vorntest.Multi"});
    blockList.save();

    // Blocking off: nothing is closed.
    QProcess *blocked = launch("blocked");
    QProcess *blockedToo = launch("blocked-too");
    QProcess *allowed = launch("allowed");
    QProcess *casey = launch("casey");
    QProcess *nameless = launch("nameless");
    QProcess *multi = launch("multi.sh");
    const auto helpers = [this] {
        QFile file(m_home.path("helpers"));
        return file.open(QIODevice::ReadOnly) ? file.readAll().split('\n').size() - 1 : 0;
    };
    const auto helpersGone = [this] {
        QFile file(m_home.path("helpers"));
        if (!file.open(QIODevice::ReadOnly))
            return true; // killed before it started any
        for (const QByteArray &pid : file.readAll().split('\n'))
            if (!pid.isEmpty() && QFile::exists("/proc/" + pid + "/exe")
                && !QFile::symLinkTarget("/proc/" + pid + "/exe").isEmpty())
                return false;
        return true;
    };
    QTRY_COMPARE(helpers(), 2);
    QTest::qWait(500);
    for (QProcess *process : {blocked, blockedToo, allowed, casey, nameless})
        QCOMPARE(process->state(), QProcess::Running);
    QCOMPARE(logLines(), QByteArrayList());

    // Blocking on: the running blocked ones are closed, one line each; the others stay.
    publish(true);
    QTRY_VERIFY(blocker.isBlocking());
    QTRY_COMPARE(blocked->state(), QProcess::NotRunning);
    QTRY_COMPARE(blockedToo->state(), QProcess::NotRunning);
    QCOMPARE(blocked->exitStatus(), QProcess::CrashExit);
    QByteArrayList lines = logLines();
    std::sort(lines.begin(), lines.end());
    // One line for the application of three processes, and all three go.
    QTRY_COMPARE(multi->state(), QProcess::NotRunning);
    QTRY_VERIFY(helpersGone());
    lines += logLines();
    std::sort(lines.begin(), lines.end());
    QCOMPARE(lines,
             (QByteArrayList{"Blocking org.vorntest.Blocked", "Blocking org.vorntest.BlockedToo",
                             "Blocking org.vorntest.Multi"}));
    for (QProcess *process : {allowed, casey, nameless})
        QCOMPARE(process->state(), QProcess::Running);

    // Every launch while blocking is examined: a blocked one is closed at once.
    QProcess *relaunched = launch("blocked");
    QTRY_COMPARE(relaunched->state(), QProcess::NotRunning);
    QProcess *allowedToo = launch("allowed");
    QTest::qWait(500);
    QCOMPARE(allowedToo->state(), QProcess::Running);
    QCOMPARE(casey->state(), QProcess::Running);
    QCOMPARE(logLines(), QByteArrayList{"Blocking org.vorntest.Blocked"});

    // Closed at launch: one line, even for the helpers forked just before the kill.
    QFile::remove(m_home.path("helpers"));
    QProcess *multiAgain = launch("multi.sh");
    QTRY_COMPARE(multiAgain->state(), QProcess::NotRunning);
    QTest::qWait(500);
    QTRY_VERIFY(helpersGone());
    QCOMPARE(logLines(), QByteArrayList{"Blocking org.vorntest.Multi"});

    // UXTerm's way: its script execs the blocked program, and it stays an unblocked application.
    QProcess *ux = launch("ux.sh");
    QTRY_COMPARE(QFile::symLinkTarget(QString("/proc/%1/exe").arg(ux->processId())),
                 bin("blocked"));
    QTest::qWait(500);
    QCOMPARE(ux->state(), QProcess::Running);
    QCOMPARE(logLines(), QByteArrayList());

    // Blocking off again: a blocked application launched now stays open.
    publish(false);
    QTRY_VERIFY(!blocker.isBlocking());
    QProcess *afterwards = launch("blocked");
    QTest::qWait(500);
    QCOMPARE(afterwards->state(), QProcess::Running);
    QCOMPARE(logLines(), QByteArrayList());

    for (QProcess *process : findChildren<QProcess *>()) {
        process->kill();
        process->waitForFinished(5000);
    }
}

QTEST_GUILESS_MAIN(tst_Enforcement)
#include "tst_enforcement.moc"
