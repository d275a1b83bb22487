#include "vornuitest.h"

#include "singleinstance.h"

#include <QProcess>

#include <csignal>

using namespace VornUiTest;

// The `vorn` program as real processes in a private home, on the offscreen platform.
class TestVornApp : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup();

    void secondStartReopensTheWindow();
    void simultaneousStartsLeaveOneVorn();
    void closedWindowKeepsEnforcing();
    void terminationSignalQuitsCleanly();
    void lockOfAKilledInstanceIsTakenOver();
    void runsWithoutADisplay();

private:
    QProcess *startVorn(const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
    {
        auto *process = new QProcess(this);
        process->setProcessEnvironment(env);
        process->setProcessChannelMode(QProcess::ForwardedChannels);
        process->start(QStringLiteral(VORN_BINARY_DIR "/vorn"), {});
        process->waitForStarted();
        return process;
    }
    static QString socketPath() { return qEnvironmentVariable("XDG_RUNTIME_DIR") + "/vorn.socket"; }
    static auto ask(const QByteArray &r) { return SingleInstance::send(socketPath(), r, 10000); }

    TestHome m_home;
};

void TestVornApp::cleanup()
{
    for (QProcess *process : findChildren<QProcess *>()) {
        process->kill();
        process->waitForFinished(5000);
        delete process;
    }
    QFile::remove(m_home.defaultsFile());
}

void TestVornApp::secondStartReopensTheWindow()
{
    QProcess *first = startVorn();
    QCOMPARE(ask("status"), QByteArray("windows 1"));
    QCOMPARE(ask("close"), QByteArray("ok 0"));
    QCOMPARE(ask("status"), QByteArray("windows 0"));
    // With the window closed a start reopens it; with it open, a start adds no second one.
    for (int start = 0; start < 2; ++start) {
        QProcess *next = startVorn();
        QVERIFY(next->waitForFinished(15000));
        QCOMPARE(next->exitStatus(), QProcess::NormalExit);
        QCOMPARE(next->exitCode(), 0);
        QCOMPARE(ask("status"), QByteArray("windows 1"));
    }
    QCOMPARE(first->state(), QProcess::Running);
}

void TestVornApp::simultaneousStartsLeaveOneVorn()
{
    const QList<QProcess *> started{startVorn(), startVorn(), startVorn()};
    // One takes the session; the others hand over to it and end with 0.
    QTRY_COMPARE_WITH_TIMEOUT(
            int(std::ranges::count(started, QProcess::NotRunning, &QProcess::state)), 2, 15000);
    for (QProcess *process : started) {
        if (process->state() == QProcess::NotRunning)
            QCOMPARE(process->exitCode(), 0);
    }
    QCOMPARE(ask("status"), QByteArray("windows 1"));
}

void TestVornApp::closedWindowKeepsEnforcing()
{
    // Blocking is stored as on, and the blocked application is a program of its own.
    const QString program = m_home.path() + QStringLiteral("/blocked-app");
    QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), program));
    m_home.addApplication("org.example.Blocked", "Blocked", {}, program);
    QVERIFY(QDir().mkpath(QFileInfo(m_home.defaultsFile()).path()));
    QFile defaults(m_home.defaultsFile());
    QVERIFY(defaults.open(QIODevice::WriteOnly));
    defaults.write(R"({"isBlocking": true, "blockedBundleIDs": ["org.example.Blocked"]})");
    defaults.close();

    QProcess *vorn = startVorn();
    QCOMPARE(ask("status"), QByteArray("windows 1"));
    QCOMPARE(ask("close"), QByteArray("ok 0"));

    // With no window open, a blocked application that starts is killed; others run on.
    QProcess blocked, other;
    blocked.start(program, {QStringLiteral("60")});
    other.start(QStringLiteral("/bin/sleep"), {QStringLiteral("60")});
    QVERIFY(blocked.waitForStarted() && other.waitForStarted());
    QVERIFY2(blocked.waitForFinished(10000), "the blocked application was left running");
    QCOMPARE(blocked.exitStatus(), QProcess::CrashExit);
    QVERIFY(!other.waitForFinished(1000));
    QCOMPARE(other.state(), QProcess::Running);
    QCOMPARE(vorn->state(), QProcess::Running);
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
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
        env.remove(QString::fromLatin1(name));
    QProcess *vorn = startVorn(env);
    // Running and answering, with no window to show.
    QCOMPARE(ask("status"), QByteArray("windows 0"));
    QVERIFY(!vorn->waitForFinished(500));
    QCOMPARE(vorn->state(), QProcess::Running);
}

QTEST_GUILESS_MAIN(TestVornApp)
#include "tst_vornapp.moc"
