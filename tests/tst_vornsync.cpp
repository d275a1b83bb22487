#include "cloudkeyvaluestore_linux.h"
#include "deviceidentity.h"
#include "mosquittobroker.h"
#include "platform.h"
#include "processgroups.h"
#include "syncconfig.h"
#include "syncpassword.h"
#include "testhome.h"

#include <QRandomGenerator>
#include <QUrl>

#include <memory>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>

namespace {

const QString program = QStringLiteral(VORN_BINARY_DIR "/vorn-sync");

TestHome::ProgramResult run(const QStringList &args, const QByteArray &input = {})
{
    return TestHome::run(program, args, input);
}

// This home's bridge set up for alice at the broker.
bool setUpFor(const MosquittoBroker &broker)
{
    const QString url = QStringLiteral("mqtt://127.0.0.1:%1").arg(broker.port());
    return run({QStringLiteral("setup"), url, QStringLiteral("alice")}, "s3cret\n").exitCode == 0;
}

// Whether the broker keeps a session for clientId: the session-present flag of the CONNACK to an
// MQTT 5 CONNECT without clean start.
bool sessionKept(int port, const QByteArray &clientId, const QByteArray &user,
                 const QByteArray &password)
{
    QByteArray body = QByteArray::fromHex("00044d51545405c0003c00"); // user, password, 60 s
    for (const QByteArray &field : {clientId, user, password})
        body += char(field.size() >> 8) + QByteArray(1, char(field.size() & 0xff)) + field;
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
    socket.write(QByteArray(1, '\x10') + char(body.size()) + body); // under 128 bytes
    QByteArray connack;
    while (connack.size() < 4 && socket.waitForReadyRead(5000))
        connack += socket.readAll();
    return connack.startsWith('\x20') && (connack.at(2) & 1);
}

} // namespace

// The vorn-sync program: its commands, their errors and exit statuses, a Secret Service for the
// password, real brokers.
class tst_VornSync : public QObject
{
    Q_OBJECT

    QString statusText() { return QString::fromUtf8(run({QStringLiteral("status")}).out); }

    std::unique_ptr<TestHome> m_home;

private Q_SLOTS:
    void init() { m_home = std::make_unique<TestHome>(); }

    void commands_data()
    {
        // In args, MQTT and WS are the broker's ports; CLOSED nobody's; STALLED a listener's that
        // never accepts, with room in its queue for the first connection only (later ones wait for
        // the kernel's connect timeout, about two minutes).
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("exitCode"); // -1: it crashed, or still ran after 30 s
        QTest::addColumn<QString>("message");

        const auto row = [](const char *name, const QStringList &args, int exitCode,
                            const QString &message, const QByteArray &input = "s3cret\n") {
            QTest::newRow(name) << args << input << exitCode << message;
        };
        row("help", {"--help"}, 0, "Usage: vorn-sync");
        row("unknown command", {"sync-now"}, 2, "unknown command");
        row("setup without user", {"setup", "mqtt://h"}, 2, "usage:");
        row("setup, bad URL", {"setup", "http://h", "u"}, 2,
            "bad broker URL: 'http://h' does not start with mqtt://");
        row("setup, user with a wildcard", {"setup", "mqtt://h", "al+ce"}, 2, "'al+ce' cannot be");
        row("setup, newline in the URL", {"setup", "mqtt://h\nvorn-sync: forged", "u"}, 2,
            "mqtt://h\\x0avorn-sync: forged");
        row("setup, missing CA file", {"setup", "mqtts://h", "u", "--ca-file", "/nonexistent"}, 2,
            "no CA file /nonexistent");
        row("bridge, not set up", {}, 1, "not set up");
        row("status, not set up", {"status"}, 1, "not set up");
        row("local-broker, bad port", {"local-broker", "--port", "0"}, 2, "a port is a number");

        const QString refused = QStringLiteral("the broker refused the credentials of alice: not "
                                               "authorised");
        row("accepted", {"setup", "mqtt://127.0.0.1:MQTT", "alice"}, 0, "accepted alice");
        row("refused credentials", {"setup", "mqtt://127.0.0.1:MQTT", "alice"}, 1, refused,
            "wrong\n");
        row("unreachable", {"setup", "mqtt://127.0.0.1:CLOSED", "alice"}, 1, "cannot reach");
        row("no password", {"setup", "mqtt://127.0.0.1:MQTT", "alice"}, 2, "no password given", {});
        row("WebSockets, accepted", {"setup", "ws://localhost:WS/mqtt", "alice"}, 0,
            "accepted alice");
        row("WebSockets, refused credentials", {"setup", "ws://localhost:WS", "alice"}, 1, refused,
            "wrong\n");
        row("stalled listener", {"setup", "mqtt://127.0.0.1:STALLED", "alice"}, 1, "cannot reach");
    }

    void commands()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, input);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        std::optional<MosquittoBroker> broker;
        if (args.filter(QRegularExpression(QStringLiteral(":(MQTT|WS)"))).size())
            broker.emplace(QHash<QString, QByteArray>{{QStringLiteral("alice"), "s3cret"}});
        QTcpServer stalled;
        stalled.setListenBacklogSize(0);
        QVERIFY(stalled.listen(QHostAddress::LocalHost));
        stalled.pauseAccepting();
        for (QString &arg : args) {
            if (broker)
                arg.replace(QLatin1String("MQTT"), QString::number(broker->port()))
                        .replace(QLatin1String("WS"), QString::number(broker->webSocketPort()));
            arg.replace(QLatin1String("STALLED"), QString::number(stalled.serverPort()))
                    .replace(QLatin1String("CLOSED"), QString::number(MosquittoBroker::freePort()));
        }

        const TestHome::ProgramResult result = run(args, input);
        QCOMPARE(result.exitCode, exitCode);
        QVERIFY2((result.out + result.err).contains(message.toUtf8()),
                 (result.out + result.err).constData());
        if (exitCode != 0)
            QCOMPARE(result.err.count('\n'), 1); // one line
        if (args.value(0) != QLatin1String("setup"))
            return;

        const QString url = args.value(1);
        const QByteArray config = TestHome::readFile(SyncConfig::path());
        if (exitCode != 0) {
            QVERIFY(config.isEmpty());
            return;
        }
        const SyncPassword::Lookup stored = SyncPassword::find("alice@" + QUrl(url).host());
        QVERIFY(config.contains("broker = " + url.toUtf8()));
        QVERIFY(config.contains("user = alice"));
        QVERIFY(!config.contains("s3cret"));
        QCOMPARE(int(stored.status), int(SyncPassword::Status::Ok));
        QCOMPARE(stored.password, QByteArray("s3cret"));
        // The check's session ended with it.
        const std::unique_ptr<Keychain> keychain = Platform::createKeychain();
        const QString checkId
                = "vorn-" + DeviceIdentity(keychain.get()).currentDeviceID() + "-setup";
        QVERIFY(!sessionKept(broker->port(), checkId.toUtf8(), "alice", "s3cret"));
        const QString status = statusText();
        QVERIFY2(status.contains("offline: " + url + " as alice (vorn-sync has not run yet)"),
                 qPrintable(status));

        // Once set up, the bridge runs and reports what it sent.
        QProcess bridge;
        ProcessGroups groups;
        QVERIFY(groups.start(bridge, program, {}));
        QTRY_VERIFY_WITH_TIMEOUT(statusText().startsWith(QStringLiteral("connected: ") + url),
                                 10000);
        LinuxCloudKeyValueStore(m_home->cloudFolder(), LinuxCloudKeyValueStore::Notices::None)
                .setData("v", QStringLiteral("deviceRegistry"));
        QTRY_VERIFY_WITH_TIMEOUT(statusText().contains(QRegularExpression(
                                         QStringLiteral("deviceRegistry +sent \\d{4}-"))),
                                 10000);
        QCOMPARE(run({QStringLiteral("status")}).exitCode, 0);
        // A second bridge would share the client id and fight the first one for the session.
        const TestHome::ProgramResult second = run({});
        QCOMPARE(second.exitCode, 1);
        QVERIFY2(second.err.contains("another vorn-sync bridge is running (pid "
                                     + QByteArray::number(bridge.processId()) + ')'),
                 second.err.constData());

        // SIGTERM: a clean goodbye, status 0, and status says offline.
        bridge.terminate();
        QVERIFY(bridge.waitForFinished(10000));
        QCOMPARE(bridge.exitCode(), 0);
        const TestHome::ProgramResult after = run({QStringLiteral("status")});
        QCOMPARE(after.exitCode, 1);
        QVERIFY2(after.out.startsWith("offline: " + url.toUtf8()), after.out.constData());
        QVERIFY(after.out.contains("deviceRegistry"));
    }

    void localBroker_data()
    {
        QTest::addColumn<int>("stopSignal");
        QTest::newRow("Ctrl+C") << int(SIGINT);
        QTest::newRow("SIGTERM") << int(SIGTERM);
    }

    void localBroker()
    {
        QFETCH(int, stopSignal);
        const int port = MosquittoBroker::freePort();
        const int wsPort = MosquittoBroker::freePort();
        QTemporaryDir page;
        QVERIFY(TestHome::writeFile(page.filePath(QStringLiteral("index.html")),
                                    "<title>Vorn</title>"));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("VORN_PHONE_PAGE_DIR"), page.path());
        QProcess local;
        ProcessGroups groups;
        local.setProcessEnvironment(env);
        QVERIFY(groups.start(local, program,
                             {QStringLiteral("local-broker"), QStringLiteral("--port"),
                              QString::number(port), QStringLiteral("--ws-port"),
                              QString::number(wsPort)}));
        QString out;
        QTRY_VERIFY_WITH_TIMEOUT((out += QString::fromUtf8(local.readAllStandardOutput()))
                                         .contains(QStringLiteral("Ctrl+C")),
                                 10000);
        const QString address
                = QStringLiteral("http://127.0.0.1:%1/?broker=ws://127.0.0.1:%1&user=").arg(wsPort);
        QVERIFY2(out.contains(QLatin1Char('\n') + address), qPrintable(out));
        QVERIFY(out.contains(QChar(0x2584)) || out.contains(QChar(0x2580))); // the QR code

        // Both listeners on loopback only, and the page from VORN_PHONE_PAGE_DIR. (The rest of the
        // configuration is the test broker's, in the sync suites; the page served and this
        // computer's bridge getting in are the phone page's end to end test.)
        const QString folder = m_home->path(QStringLiteral(".local/state/vorn/broker"));
        const QByteArray config = TestHome::readFile(folder + QStringLiteral("/mosquitto.conf"));
        for (const QByteArray &line : {"listener " + QByteArray::number(port) + " 127.0.0.1\n",
                                       "listener " + QByteArray::number(wsPort) + " lo\n",
                                       "http_dir " + QFile::encodeName(page.path())})
            QVERIFY2(config.contains(line), line.constData());
        ::kill(pid_t(local.processId()), stopSignal);
        QVERIFY(local.waitForFinished(10000));
        QCOMPARE(local.exitCode(), 0);
        QVERIFY(!MosquittoBroker::listens(port) && !MosquittoBroker::listens(wsPort));
        // pgrep answers 1 when no process's command line matches.
        QCOMPARE(TestHome::run("pgrep", {"-f", folder + "/mosquitto.conf"}).exitCode, 1);
    }

    void localBrokerPortsTaken()
    {
        // Another broker holds the ports; ours, slow to start as on a busy machine, cannot bind
        // them and ends: no password is shown for a broker that is not ours.
        const MosquittoBroker other({{QStringLiteral("alice"), "s3cret"}});
        const QString slow = m_home->path(QStringLiteral("mosquitto"));
        QVERIFY(TestHome::writeFile(
                        slow,
                        "#!/bin/sh\nsleep 0.3\nPATH=/usr/sbin:/usr/bin exec mosquitto \"$@\"\n")
                && QFile::setPermissions(slow, QFile::ReadOwner | QFile::ExeOwner));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PATH"), m_home->path(QString()) + ':' + env.value("PATH"));
        const TestHome::ProgramResult result
                = TestHome::run(program,
                                QStringList{"local-broker", "--port", QString::number(other.port()),
                                            "--ws-port", QString::number(other.webSocketPort())},
                                {}, env);
        QVERIFY2(result.exitCode == 1 && !result.out.contains("password"), result.out.constData());
    }

    void interruptedPasswordPromptRestoresEcho()
    {
        int terminal = -1;
        const pid_t child = ::forkpty(&terminal, nullptr, nullptr, nullptr);
        if (child == 0) {
            ::execl(VORN_BINARY_DIR "/vorn-sync", "vorn-sync", "setup", "mqtt://h", "alice",
                    nullptr);
            ::_exit(127);
        }
        termios settings{};
        QTRY_VERIFY(::tcgetattr(terminal, &settings) == 0 && !(settings.c_lflag & ECHO)); // prompt
        QCOMPARE(::write(terminal, "\x03", 1), 1); // Ctrl+C
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(WIFSIGNALED(status) && ::tcgetattr(terminal, &settings) == 0);
        ::close(terminal);
        QVERIFY(settings.c_lflag & ECHO);
    }

    void startsOverLeftovers_data()
    {
        QTest::addColumn<int>(
                "type"); // of what stands at the lock's path: S_IFREG, S_IFIFO, S_IFDIR
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("a garbled lock") << int(S_IFREG) << QByteArray("\xff\n-3\n");
        QTest::newRow("a dead owner's lock")
                << int(S_IFREG) << QByteArray::number(TestHome::gonePid()) + "\nvorn-sync\n\n";
        QTest::newRow("a FIFO") << int(S_IFIFO) << QByteArray();
        QTest::newRow("a folder") << int(S_IFDIR) << QByteArray();
    }

    void startsOverLeftovers()
    {
        // What a killed bridge or a stranger leaves: the bridge takes its lock over, without
        // reading anything that could block, and sweeps the temporaries of writers that are gone.
        QFETCH(int, type);
        QFETCH(QByteArray, bytes);
        MosquittoBroker broker({{QStringLiteral("alice"), "s3cret"}});
        QVERIFY(setUpFor(broker));
        const QString state = m_home->path(QStringLiteral(".local/state/vorn/"));
        const QString lock = state + QStringLiteral("sync/bridge.lock");
        QVERIFY(QDir().mkpath(state + "sync/base") && QDir().mkpath(state + "broker"));
        QVERIFY(type == S_IFIFO           ? ::mkfifo(QFile::encodeName(lock).constData(), 0600) == 0
                        : type == S_IFDIR ? QDir().mkpath(lock)
                                          : TestHome::writeFile(lock, bytes));
        const QString gone = QString::number(TestHome::gonePid()) + "-a";
        const QString live = QString::number(::getpid()) + "-b";
        const QStringList temporaries{state + "sync/base/.base-", state + "sync/.status-",
                                      state + "broker/.vorn-broker-",
                                      m_home->path(".config/vorn/.sync.conf-")};
        for (const QString &temporary : temporaries)
            QVERIFY(TestHome::writeFile(temporary + gone, "x")
                    && TestHome::writeFile(temporary + live, "x"));
        QProcess bridge;
        ProcessGroups groups;
        QVERIFY(groups.start(bridge, program, {}));
        QTRY_VERIFY_WITH_TIMEOUT(statusText().startsWith(QStringLiteral("connected: ")), 10000);
        for (const QString &temporary : temporaries)
            QVERIFY(!QFile::exists(temporary + gone) && QFile::exists(temporary + live));
        bridge.terminate();
        QVERIFY(bridge.waitForFinished(10000) && bridge.exitCode() == 0);
    }

    void killsNeverRevertAKey_data()
    {
        QTest::addColumn<QString>("exitAt"); // the bridge's step to end at; empty: random kills
        QTest::addColumn<int>("kills");
        QTest::newRow("a received value, folder written") << "received-folder-written" << 1;
        QTest::newRow("a received value, base written") << "received-base-written" << 1;
        QTest::newRow("a sent value, before the broker's answer") << "sent" << 1;
        QTest::newRow("50 kills at random during an exchange") << QString() << 50;
    }

    void killsNeverRevertAKey()
    {
        // The phone counts up on "p", Vorn on "l"; the bridge is killed again and again. A value
        // the broker held must never be followed there by an older one.
        QFETCH(QString, exitAt);
        QFETCH(int, kills);
        MosquittoBroker broker({{QStringLiteral("alice"), "s3cret"}});
        QVERIFY(setUpFor(broker));
        MqttConnection phone(broker.settings("vorn-test-phone", QStringLiteral("alice"), "s3cret"));
        MqttConnection watch(broker.settings("vorn-test-watch", QStringLiteral("alice"), "s3cret"));
        QHash<QByteArray, qint64> last; // per key, the highest number the broker passed on
        QByteArray wentBack;
        QObject::connect(&watch, &MqttConnection::connected, &watch,
                         [&] { watch.subscribe({"vorn/alice/kv/+"}); });
        QObject::connect(&watch, &MqttConnection::messageReceived, &watch,
                         [&](const QByteArray &topic, const QByteArray &payload) {
                             if (payload.toLongLong() < last.value(topic))
                                 wentBack += topic + " went back to " + payload + '\n';
                             last[topic] = std::max(payload.toLongLong(), last.value(topic));
                         });
        phone.start();
        watch.start();
        LinuxCloudKeyValueStore vorn(m_home->cloudFolder(), LinuxCloudKeyValueStore::Notices::None);
        int count = 0;
        const auto countUp = [&] {
            phone.publish("vorn/alice/kv/p", QByteArray::number(++count), true);
            vorn.setData(QByteArray::number(count), QStringLiteral("l"));
        };
        QTRY_VERIFY(phone.state() == MqttConnection::State::Connected
                    && watch.state() == MqttConnection::State::Connected);
        const auto inStep = [&](ProcessGroups &groups, QProcess &bridge) {
            QVERIFY(groups.start(bridge, program, {}));
            QTRY_COMPARE_WITH_TIMEOUT(TestHome::readFile(m_home->cloudFolder() + "/p").toInt(),
                                      count, 10000);
            QTRY_COMPARE_WITH_TIMEOUT(last.value("vorn/alice/kv/l"), count, 10000);
        };
        countUp();
        if (!exitAt.isEmpty()) { // in step first, then the next values end the bridge
            ProcessGroups groups;
            QProcess bridge;
            inStep(groups, bridge);
            bridge.terminate();
            QVERIFY(bridge.waitForFinished(10000));
        }
        QTimer counting;
        QObject::connect(&counting, &QTimer::timeout, &counting, countUp);
        for (int kill = 0; kill < kills; ++kill) {
            ProcessGroups groups;
            QProcess bridge;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("VORN_SYNC_EXIT_AT"), exitAt);
            bridge.setProcessEnvironment(env);
            QVERIFY(groups.start(bridge, program, {}));
            if (exitAt.isEmpty()) {
                counting.start(2);
                QTest::qWait(QRandomGenerator::global()->bounded(20, 200));
                groups.killAll();
                bridge.waitForFinished(5000);
                continue;
            }
            countUp();
            QVERIFY(bridge.waitForFinished(10000) && bridge.exitCode() == 86);
        }
        counting.stop();
        ProcessGroups groups;
        QProcess bridge;
        inStep(groups, bridge);
        countUp(); // anything the bridge sent back came before this
        QTRY_COMPARE_WITH_TIMEOUT(last.value("vorn/alice/kv/l"), count, 10000);
        QVERIFY2(wentBack.isEmpty(), wentBack.constData());
    }
};

QTEST_GUILESS_MAIN(tst_VornSync)
#include "tst_vornsync.moc"
