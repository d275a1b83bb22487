#include "vornuitest.h"

#include "singleinstance.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QScopeGuard>

#include <csignal>
#include <cstring>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace VornUiTest;

namespace {

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

// The `vorn` program as real processes in a private home, on the offscreen platform.
class tst_VornApp : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup();

    void secondStartReopensTheWindow();
    void simultaneousStartsLeaveOneVorn();
    void closedWindowKeepsEnforcing();
    void terminationSignalQuitsCleanly();
    void staleLockIsTakenOver_data();
    void staleLockIsTakenOver();
    void answersAndEnforcesWithFewDescriptors();
    void runsWithoutADisplay();

private:
    QProcess *startVorn(const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(),
                        rlim_t maxDescriptors = 0)
    {
        auto *process = new QProcess(this);
        process->setProcessEnvironment(env);
        if (maxDescriptors) {
            process->setChildProcessModifier([maxDescriptors] {
                const rlimit limit{maxDescriptors, maxDescriptors};
                ::setrlimit(RLIMIT_NOFILE, &limit);
            });
        }
        process->setProcessChannelMode(QProcess::ForwardedChannels);
        process->start(QStringLiteral(VORN_BINARY_DIR "/vorn"), {});
        process->waitForStarted();
        return process;
    }
    static QString socketPath() { return qEnvironmentVariable("XDG_RUNTIME_DIR") + "/vorn.socket"; }
    static auto ask(const QByteArray &r) { return SingleInstance::send(socketPath(), r, 10000); }

    TestHome m_home;
};

void tst_VornApp::cleanup()
{
    for (QProcess *process : findChildren<QProcess *>()) {
        process->kill();
        process->waitForFinished(5000);
        delete process;
    }
    QFile::remove(m_home.defaultsFile());
}

void tst_VornApp::secondStartReopensTheWindow()
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

void tst_VornApp::simultaneousStartsLeaveOneVorn()
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

void tst_VornApp::closedWindowKeepsEnforcing()
{
    // Blocking is stored as on, and the blocked application is a program of its own.
    m_home.installProgram("blocked-app", "org.example.Blocked");
    const QString program = m_home.bin("blocked-app");
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

void tst_VornApp::terminationSignalQuitsCleanly()
{
    QProcess *vorn = startVorn();
    QCOMPARE(ask("status"), QByteArray("windows 1"));
    ::kill(pid_t(vorn->processId()), SIGTERM);
    QVERIFY(vorn->waitForFinished(10000));
    QCOMPARE(vorn->exitStatus(), QProcess::NormalExit);
    QCOMPARE(vorn->exitCode(), 0);
    QVERIFY(!QFile::exists(socketPath()));
}

void tst_VornApp::staleLockIsTakenOver_data()
{
    QTest::addColumn<QByteArray>("lock"); // "killed": what a killed Vorn leaves
    QTest::newRow("killed Vorn") << QByteArray("killed");
    QTest::newRow("empty file") << QByteArray();
    QTest::newRow("garbage") << QByteArray("\xff\x00not a lock\n", 14);
    QTest::newRow("PID of another program") << QByteArray("OTHER\nvorn\n\n");
    QTest::newRow("PID no longer in use") << QByteArray("GONE\nvorn\n\n");
}

void tst_VornApp::staleLockIsTakenOver()
{
    QFETCH(QByteArray, lock);
    const QString lockPath = qEnvironmentVariable("XDG_RUNTIME_DIR") + "/vorn.lock";
    QProcess other;
    if (lock == "killed") {
        QProcess *killed = startVorn();
        QCOMPARE(ask("status"), QByteArray("windows 1"));
        killed->kill();
        QVERIFY(killed->waitForFinished(5000));
        QVERIFY(QFile::exists(socketPath()));
    } else {
        other.start(QStringLiteral("/bin/sleep"), {QStringLiteral("60")});
        QVERIFY(other.waitForStarted());
        QProcess gone;
        gone.start(QStringLiteral("/bin/true"));
        QVERIFY(gone.waitForFinished());
        lock.replace("OTHER", QByteArray::number(other.processId()));
        lock.replace("GONE", QByteArray::number(gone.processId()));
        QVERIFY(writeFile(lockPath, lock));
    }

    QProcess *next = startVorn();
    QCOMPARE(ask("status"), QByteArray("windows 1"));
    QVERIFY(!next->waitForFinished(500));
    QCOMPARE(next->state(), QProcess::Running);
    other.kill();
    other.waitForFinished();
}

void tst_VornApp::answersAndEnforcesWithFewDescriptors()
{
    m_home.installProgram("blocked-app-2", "org.example.Blocked2");
    const QString program = m_home.bin("blocked-app-2");
    QVERIFY(writeFile(m_home.defaultsFile(),
                      R"({"isBlocking": false, "blockedBundleIDs": ["org.example.Blocked2"]})"));
    // About 20 descriptors are in use once Vorn runs.
    QProcess *vorn = startVorn(QProcessEnvironment::systemEnvironment(), 64);
    QCOMPARE(ask("status"), QByteArray("windows 1"));

    // Far more idle clients than descriptors; those past the listen queue are refused.
    std::vector<int> idle;
    const QByteArray path = QFile::encodeName(socketPath());
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    for (int i = 0; i < 300; ++i) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0)
            idle.push_back(fd);
        else
            ::close(fd);
    }
    const auto closeIdle = qScopeGuard([&idle] {
        for (int fd : idle)
            ::close(fd);
    });
    QVERIFY(idle.size() > 64);

    // Requests are answered, a block state that names this computer arrives through the cloud
    // folder's notice, and a blocked application launched meanwhile is closed.
    QCOMPARE(ask("status"), QByteArray("windows 1"));
    const QString cloud = m_home.cloudFolder() + QLatin1Char('/');
    const QJsonObject registry
            = QJsonDocument::fromJson(readFile(cloud + "deviceRegistry")).object();
    QCOMPARE(registry.size(), 1);
    QVERIFY(writeFile(cloud + "syncedBlockState",
                      R"({"isBlocking":true,"targetDeviceIDs":[")"
                              + registry.keys().first().toUtf8() + R"("],"updatedAt":1})"));
    QTRY_VERIFY_WITH_TIMEOUT(
            QJsonDocument::fromJson(readFile(m_home.defaultsFile()))["isBlocking"].toBool(), 10000);
    QProcess blocked;
    blocked.start(program, {QStringLiteral("60")});
    QVERIFY(blocked.waitForStarted());
    QVERIFY2(blocked.waitForFinished(10000), "the blocked application was left running");

    // A removed socket file is bound again, and a second start hands over to this Vorn.
    QVERIFY(QFile::remove(socketPath()));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(socketPath()), 10000);
    QProcess *second = startVorn();
    QVERIFY(second->waitForFinished(15000));
    QCOMPARE(second->exitCode(), 0);
    QCOMPARE(vorn->state(), QProcess::Running);
}

void tst_VornApp::runsWithoutADisplay()
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

QTEST_GUILESS_MAIN(tst_VornApp)
#include "tst_vornapp.moc"
