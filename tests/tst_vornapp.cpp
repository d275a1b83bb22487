#include "vornuitest.h"

#include "referencedate.h"

#include <QScopeGuard>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace VornUiTest;

// What `vorn` or a tool prints (both streams) and its exit status.
static std::pair<int, QByteArray> run(const QString &program, const QStringList &arguments)
{
    const auto [status, out, err] = TestHome::run(VORN_BINARY_DIR "/" + program, arguments);
    return {status, (out + err).trimmed()};
}

// The `vorn` program as real processes in a private home, on the offscreen platform.
class tst_VornApp : public QObject
{
    Q_OBJECT

    static auto ask(const QByteArray &request) { return VornProcesses::ask(request); }
    bool storedBlocking() const
    {
        return QJsonDocument::fromJson(TestHome::readFile(m_home.defaultsFile()))["isBlocking"]
                .toBool();
    }

    QByteArray registry() const
    {
        return TestHome::readFile(m_home.cloudFolder() + "/deviceRegistry");
    }

    // An unsigned block state for this computer, as another program writes it.
    void publish(bool blocking, const QByteArray &members = {})
    {
        // This computer, announced once.
        const QStringList ids = QJsonDocument::fromJson(registry()).object().keys();
        QCOMPARE(ids.size(), 1);
        const QString id = ids.first();
        QVERIFY(TestHome::writeFile(
                m_home.cloudFolder() + "/syncedBlockState",
                QByteArray(blocking ? R"({"isBlocking":true,)" : R"({"isBlocking":false,)")
                        + R"("targetDeviceIDs":[")" + id.toUtf8() + R"("],"updatedAt":)"
                        + QByteArray::number(ReferenceDate::now(), 'f', 3) + members + '}'));
    }

    TestHome m_home;
    VornProcesses m_processes;

private Q_SLOTS:
    void cleanup()
    {
        m_processes.killAll();
        QFile::remove(m_home.defaultsFile());
        QFile::remove(m_home.cloudFolder() + "/syncedBlockState"); // no case inherits blocking
    }

    void simultaneousStartsLeaveOneVorn()
    {
        const QList<QProcess *> started{&m_processes.startVorn(), &m_processes.startVorn(),
                                        &m_processes.startVorn()};
        // One takes the session; the others hand over to it and end with 0.
        QTRY_COMPARE_WITH_TIMEOUT(
                int(std::ranges::count(started, QProcess::NotRunning, &QProcess::state)), 2, 15000);
        for (QProcess *process : started) {
            if (process->state() == QProcess::NotRunning)
                QCOMPARE(process->exitCode(), 0);
        }
        QCOMPARE(ask("status"), QByteArray("windows 1"));
    }

    void staleLockIsTakenOver_data()
    {
        QTest::addColumn<QByteArray>("lock"); // "killed": what a killed Vorn leaves
        QTest::newRow("killed Vorn") << QByteArray("killed");
        QTest::newRow("garbage") << QByteArray("\xff\x00not a lock\n", 14);
        QTest::newRow("PID of another program") << QByteArray("OTHER\nvorn\n\n");
        QTest::newRow("PID no longer in use") << QByteArray("GONE\nvorn\n\n");
    }

    void staleLockIsTakenOver()
    {
        QFETCH(QByteArray, lock);
        if (lock == "killed") {
            QProcess &killed = m_processes.startVorn();
            QCOMPARE(ask("status"), QByteArray("windows 1"));
            killed.kill();
            QVERIFY(killed.waitForFinished(5000));
            QVERIFY(QFile::exists(VornProcesses::socketPath()));
        } else {
            lock.replace("OTHER", QByteArray::number(m_processes.launch("/bin/sleep").processId()));
            lock.replace("GONE", QByteArray::number(TestHome::gonePid()));
            QVERIFY(TestHome::writeFile(qEnvironmentVariable("XDG_RUNTIME_DIR") + "/vorn.lock",
                                        lock));
        }
        QProcess &next = m_processes.startVorn();
        QCOMPARE(ask("status"), QByteArray("windows 1"));
        QVERIFY(!next.waitForFinished(500));
    }

    void answersAndEnforcesWithFewDescriptors()
    {
        const QString program = m_home.blockOnStart(false);
        // About 20 descriptors are in use once Vorn runs.
        QProcess &vorn = m_processes.startVorn({}, QProcessEnvironment::systemEnvironment(), 64);
        QCOMPARE(ask("status"), QByteArray("windows 1"));

        // Far more idle clients than descriptors; those past the listen queue are refused.
        std::vector<int> idle;
        const QByteArray path = QFile::encodeName(VornProcesses::socketPath());
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

        // Requests are answered; with the window closed, a block state that names this computer
        // arrives through the cloud folder's notice, and a blocked application launched meanwhile
        // is closed.
        QCOMPARE(ask("close"), QByteArray("ok 0"));
        publish(true);
        QTRY_VERIFY_WITH_TIMEOUT(storedBlocking(), 10000);
        expectClosed(m_processes.launch(program));

        // A removed socket file is bound again, and a second start hands over to this Vorn, which
        // opens its window again.
        QVERIFY(QFile::remove(VornProcesses::socketPath()));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(VornProcesses::socketPath()), 10000);
        QProcess &second = m_processes.startVorn();
        QVERIFY(second.waitForFinished(15000));
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(vorn.state(), QProcess::Running);
        QCOMPARE(ask("status"), QByteArray("windows 1"));
    }

    void sessionEndsOnTime_data()
    {
        QTest::addColumn<QString>("during"); // what happens while the session runs
        QTest::newRow("locked, then off published") << "off";
        QTest::newRow("wall clock 2 h forward") << "jump";
        QTest::newRow("restart, wall clock 2 h forward") << "restart";
    }

    // No bridge runs here: each Vorn ends its session by its own timer. Vorn runs under libfaketime
    // with an offset the test moves; the boot clock is left alone.
    void sessionEndsOnTime()
    {
        QFETCH(QString, during);
        const QString fakeTime
                = QStringLiteral("/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1");
        if (!QFile::exists(fakeTime))
            QSKIP("libfaketime is missing: install Debian's faketime (scripts/install-deps.sh)");
        const QString offset = m_home.path("faketime-offset");
        QVERIFY(TestHome::writeFile(offset, "+0"));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("LD_PRELOAD", fakeTime);
        env.insert("FAKETIME_TIMESTAMP_FILE", offset);
        env.insert("FAKETIME_NO_CACHE", "1");
        env.insert("DONT_FAKE_MONOTONIC", "1");
        // A sanitized Vorn takes a library preloaded before its sanitizer's runtime.
        const QString asan = env.value("ASAN_OPTIONS");
        env.insert("ASAN_OPTIONS", asan + (asan.isEmpty() ? "" : ":") + "verify_asan_link_order=0");
        QFile::remove(m_home.path(".local/state/vorn/session.json"));

        QProcess *vorn = &m_processes.startVorn({}, env);
        QCOMPARE(ask("status"), QByteArray("windows 1"));
        const double endsAt = ReferenceDate::now() + 4;
        publish(true,
                ",\"endsAt\":" + QByteArray::number(endsAt, 'f', 3)
                        + (during == "off" ? ",\"locked\":true" : ""));
        QTRY_VERIFY_WITH_TIMEOUT(storedBlocking(), 3000);
        QByteArray log;
        if (during == "off") { // held back, and the registry says until when
            publish(false);
            QTRY_VERIFY_WITH_TIMEOUT(registry().contains(R"("reason":"locked","until":)"), 2000);
        }
        QVERIFY(TestHome::writeFile(offset, "+2h"));
        if (during == "jump") // a change in the store makes Vorn look at the clocks at once
            QVERIFY(TestHome::writeFile(m_home.cloudFolder() + "/nudge", "1"));
        if (during == "restart") {
            ::kill(pid_t(vorn->processId()), SIGTERM);
            QVERIFY(vorn->waitForFinished(10000));
            log = vorn->readAllStandardError();
            vorn = &m_processes.startVorn({}, env);
            QCOMPARE(ask("status"), QByteArray("windows 1"));
        }
        QTest::qWait(int((endsAt - 0.5 - ReferenceDate::now()) * 1000));
        QVERIFY2(storedBlocking(), "the session ended early");
        while (storedBlocking() && ReferenceDate::now() < endsAt + 10)
            QTest::qWait(5);
        const double delay = ReferenceDate::now() - endsAt;
        QVERIFY2(!storedBlocking(), "the session did not end by itself");
        qInfo("session end -> isBlocking false: %.3f s after endsAt", delay);

        QTRY_VERIFY_WITH_TIMEOUT((log += vorn->readAllStandardError()).contains("Blocking ended "),
                                 5000);
        if (during == "off")
            QVERIFY2(log.contains("Locked until "), log.constData());
        QTRY_VERIFY_WITH_TIMEOUT(!registry().contains("heldBack"), 2000);
        if (during == "jump")
            QVERIFY2(log.contains("Wall clock moved by 7200 s"), log.constData());
    }

    // Phone-only mode in a real Vorn: replayed records held back, pairing refused while blocking,
    // recovery after a shortened wait; then unsigned records apply again.
    void phoneOnlyMode()
    {
        qputenv("VORN_RECOVERY_WAIT_SECONDS", "2");
        m_processes.startVorn();
        QTRY_VERIFY_WITH_TIMEOUT(!registry().isEmpty(), 10000);
        QCOMPARE(run("tools/vorn-phone", {"key", "create", "--name", "Pocket"}).first, 0);
        const QString key = run("tools/vorn-phone", {"key", "show"}).second;
        QCOMPARE(run("vorn", {"pair"}), std::pair(0, (key + "\tPocket\toffered").toUtf8()));
        const auto [paired, pairText] = run("vorn", {"pair", key.toLower().remove('-')});
        QVERIFY2(paired == 0 && pairText.contains("Recovery code"), pairText.constData());
        const QString code
                = QString(pairText).section(QLatin1String("shown only now: "), 1).left(23);

        const QString stateFile = m_home.cloudFolder() + "/syncedBlockState";
        const auto publish = [&stateFile](const char *state) {
            return run("tools/vorn-phone", {"block", state}).first == 0
                    ? TestHome::readFile(stateFile)
                    : QByteArray();
        };
        QVERIFY(!publish("on").isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(storedBlocking(), 10000);
        QCOMPARE(run("vorn", {"unpair", key}),
                 std::pair(1, QByteArray("vorn: Pairing is locked while blocking")));
        // A signed "off" applies; replayed after a newer "on", it changes nothing.
        const QByteArray off = publish("off");
        QTRY_VERIFY_WITH_TIMEOUT(!storedBlocking(), 10000);
        publish("on");
        QTRY_VERIFY_WITH_TIMEOUT(storedBlocking(), 10000);
        QVERIFY(TestHome::writeFile(stateFile, off));
        QTest::qWait(1000);
        QVERIFY(storedBlocking());
        // With an unsigned schedule held back too, another key's change rewrites nothing.
        const QString schedule = m_home.cloudFolder() + "/blockSchedule";
        QVERIFY(TestHome::writeFile(schedule, R"({"updatedAt":5,"windows":[]})"));
        QTRY_VERIFY_WITH_TIMEOUT(registry().contains(R"("updatedAt":5)"), 10000);
        const QByteArray announced = registry();
        QVERIFY(TestHome::writeFile(m_home.cloudFolder() + "/other", "1"));
        QTest::qWait(1000);
        QCOMPARE(registry(), announced);
        QVERIFY(QFile::remove(schedule));

#ifndef VORN_TEST_HOOKS
        QSKIP("recovery needs a build with -DVORN_TEST_HOOKS=ON (a shortened wait)");
#endif
        QCOMPARE(run("vorn", {"unpair", "--recovery", "AAAAA-AAAAA-AAAAA-AAAAA"}).first, 1);
        QCOMPARE(run("vorn", {"unpair", "--recovery", code}).first, 0);
        QTRY_COMPARE_WITH_TIMEOUT(run("vorn", {"pair"}).second,
                                  (key + "\tPocket\toffered").toUtf8(), 10000);
        this->publish(false);
        QTRY_VERIFY_WITH_TIMEOUT(!storedBlocking(), 10000);
    }
};

QTEST_GUILESS_MAIN(tst_VornApp)
#include "tst_vornapp.moc"
