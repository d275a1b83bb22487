#include "vornuitest.h"

#include "singleinstance.h"

#include <QProcess>
#include <QTest>

#include <csignal>
#include <memory>

using namespace VornUiTest;

// The `vorn` program as real processes in a private home: one instance per session (a second
// start reopens the first one's window and exits 0), a process that lives on with no window and
// keeps closing blocked applications, quitting on SIGTERM, a lock left by a killed instance, and
// a session without a display.
class TestVornApp : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup();

    void secondStartReopensTheWindow();
    void simultaneousStartsLeaveOneVorn();
    void closedWindowKeepsEnforcing();
    void terminationSignalQuitsCleanly();
    void lockOfAKilledInstanceIsTakenOver();
    void runsWithoutADisplay();

private:
    QProcess *startVorn(const QProcessEnvironment &environment);
    QProcess *startVorn() { return startVorn(QProcessEnvironment::systemEnvironment()); }
    static std::optional<QByteArray> ask(const QByteArray &request);
    static QString socketPath();

    std::unique_ptr<TestHome> m_home;
    QList<QProcess *> m_processes;
};

void TestVornApp::initTestCase()
{
    m_home = std::make_unique<TestHome>();
    // The window runs on the offscreen platform, whatever the machine has.
    qputenv("QT_QPA_PLATFORM", "offscreen");
}

void TestVornApp::cleanup()
{
    for (QProcess *process : std::as_const(m_processes)) {
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(5000);
        }
        delete process;
    }
    m_processes.clear();
    QFile::remove(m_home->defaultsFile());
}

QString TestVornApp::socketPath()
{
    return qEnvironmentVariable("XDG_RUNTIME_DIR") + QStringLiteral("/vorn.socket");
}

QProcess *TestVornApp::startVorn(const QProcessEnvironment &environment)
{
    auto *process = new QProcess;
    m_processes.append(process);
    process->setProcessEnvironment(environment);
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->start(QStringLiteral(VORN_BINARY_DIR "/vorn"), {});
    process->waitForStarted();
    return process;
}

std::optional<QByteArray> TestVornApp::ask(const QByteArray &request)
{
    return SingleInstance::send(socketPath(), request, 10000);
}

void TestVornApp::secondStartReopensTheWindow()
{
    QProcess *first = startVorn();
    QCOMPARE(ask("status"), QByteArray("windows 1"));

    // Closing the window leaves the process running.
    QCOMPARE(ask("close"), QByteArray("ok 0"));
    QTest::qWait(200);
    QCOMPARE(first->state(), QProcess::Running);
    QCOMPARE(ask("status"), QByteArray("windows 0"));

    // Starting Vorn again opens the running one's window and ends with status 0.
    QProcess *second = startVorn();
    QVERIFY(second->waitForFinished(15000));
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QCOMPARE(second->exitCode(), 0);
    QCOMPARE(ask("status"), QByteArray("windows 1"));

    // With the window open, another start brings it forward rather than adding one.
    QProcess *third = startVorn();
    QVERIFY(third->waitForFinished(15000));
    QCOMPARE(third->exitCode(), 0);
    QCOMPARE(ask("status"), QByteArray("windows 1"));
    QCOMPARE(first->state(), QProcess::Running);
}

void TestVornApp::simultaneousStartsLeaveOneVorn()
{
    // Three starts at the same moment (a double click and a session autostart, say): one takes
    // the session, the others hand over and end with 0.
    QList<QProcess *> started;
    for (int i = 0; i < 3; ++i)
        started << startVorn();
    QTRY_COMPARE_WITH_TIMEOUT(
            std::count_if(started.cbegin(), started.cend(),
                          [](QProcess *p) { return p->state() == QProcess::NotRunning; }),
            2, 15000);
    for (QProcess *process : std::as_const(started)) {
        if (process->state() == QProcess::NotRunning)
            QCOMPARE(process->exitCode(), 0);
    }
    QCOMPARE(ask("status"), QByteArray("windows 1"));
}

void TestVornApp::closedWindowKeepsEnforcing()
{
    // A stored blocking state and a blocked application installed as a program of its own.
    const QString program = m_home->path() + QStringLiteral("/bin/blocked-app");
    QDir().mkpath(m_home->path() + QStringLiteral("/bin"));
    QFile::remove(program);
    QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), program));
    QFile entry(m_home->applicationsFolder() + QStringLiteral("/org.example.Blocked.desktop"));
    QVERIFY(entry.open(QIODevice::WriteOnly));
    entry.write("[Desktop Entry]\nType=Application\nName=Blocked\nExec=" + program.toUtf8() + "\n");
    entry.close();
    QDir().mkpath(QFileInfo(m_home->defaultsFile()).path());
    QFile defaults(m_home->defaultsFile());
    QVERIFY(defaults.open(QIODevice::WriteOnly));
    defaults.write(R"({"isBlocking": true, "blockedBundleIDs": ["org.example.Blocked"]})");
    defaults.close();

    QProcess *vorn = startVorn();
    QCOMPARE(ask("status"), QByteArray("windows 1"));
    QCOMPARE(ask("close"), QByteArray("ok 0"));

    // With no window open, a blocked application that starts is closed at once.
    QProcess blocked;
    blocked.start(program, {QStringLiteral("60")});
    QVERIFY(blocked.waitForStarted());
    QVERIFY2(blocked.waitForFinished(10000), "the blocked application was left running");
    QCOMPARE(blocked.exitStatus(), QProcess::CrashExit); // killed
    QCOMPARE(vorn->state(), QProcess::Running);

    // An application that is not on the list runs on.
    QProcess other;
    other.start(QStringLiteral("/bin/sleep"), {QStringLiteral("60")});
    QVERIFY(other.waitForStarted());
    QVERIFY(!other.waitForFinished(1000));
    other.kill();
    other.waitForFinished();
}

void TestVornApp::terminationSignalQuitsCleanly()
{
    QProcess *vorn = startVorn();
    QCOMPARE(ask("status"), QByteArray("windows 1"));
    ::kill(pid_t(vorn->processId()), SIGTERM);
    QVERIFY(vorn->waitForFinished(10000));
    QCOMPARE(vorn->exitStatus(), QProcess::NormalExit);
    QCOMPARE(vorn->exitCode(), 0);
    // It took its socket with it: the next start is the only Vorn.
    QVERIFY(!QFile::exists(socketPath()));
}

void TestVornApp::lockOfAKilledInstanceIsTakenOver()
{
    QProcess *killed = startVorn();
    QCOMPARE(ask("status"), QByteArray("windows 1"));
    killed->kill();
    QVERIFY(killed->waitForFinished(5000));
    QVERIFY(QFile::exists(socketPath()));

    QProcess *next = startVorn();
    QCOMPARE(ask("status"), QByteArray("windows 1"));
    QVERIFY(!next->waitForFinished(500));
    QCOMPARE(next->state(), QProcess::Running);
}

void TestVornApp::runsWithoutADisplay()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    QProcess *vorn = startVorn(environment);
    // Running, answering, enforcing, but with no window to show.
    QCOMPARE(ask("status"), QByteArray("windows 0"));
    QVERIFY(!vorn->waitForFinished(500));
    QCOMPARE(vorn->state(), QProcess::Running);
}

QTEST_GUILESS_MAIN(TestVornApp)
#include "tst_vornapp.moc"
