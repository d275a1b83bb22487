#include "brokeraddress.h"
#include "incomingvalue.h"
#include "localbroker.h"
#include "mqttconnection.h"
#include "syncbridge.h"
#include "syncconfig.h"
#include "syncstatus.h"
#include "testhome.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>

// vorn-sync's parts that need no real broker: addresses, settings, the verdict on a value from the
// broker, and a broker that answers with malformed or unexpected packets.
class tst_SyncLogic : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void brokerAddress_data();
    void brokerAddress();
    void config_data();
    void config();
    void incomingValue_data();
    void incomingValue();
    void statusShowsNamesEscaped();
    void localBrokerExposure_data();
    void localBrokerExposure();
    void hostileBroker_data();
    void hostileBroker();
};

void tst_SyncLogic::brokerAddress_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("canonical"); // empty: refused

    const std::pair<const char *, const char *> rows[] = {
            {"mqtt://broker.example", "mqtt://broker.example:1883"},
            {"mqtts://broker.example", "mqtts://broker.example:8883"},
            {"MQTTS://Broker.example:9883", "mqtts://broker.example:9883"},
            {"ws://h:8080/mqtt", "ws://h:8080/mqtt"},
            {"wss://h", "wss://h:443"},
            {"mqtt://[::1]:1884", "mqtt://[::1]:1884"},
            {"broker.example:1883", ""}, // no scheme
            {"http://broker.example", ""},
            {"mqtt://:1883", ""},
            {"mqtt://h:70000", ""},
            {"mqtt://u:pw@h", ""}, // a password in the URL
            {"mqtt://h/x", ""}, // a path on mqtt
            {"mqtts://h?insecure=1", ""},
            {"", ""},
    };
    for (const auto &[text, canonical] : rows)
        QTest::addRow("'%s'", text) << QString::fromUtf8(text) << QString::fromUtf8(canonical);
}

void tst_SyncLogic::brokerAddress()
{
    QFETCH(QString, text);
    QFETCH(QString, canonical);
    QString error;
    const std::optional<BrokerAddress> address = BrokerAddress::parse(text, &error);
    QCOMPARE(address ? address->url() : QString(), canonical);
    QCOMPARE(error.isEmpty(), !canonical.isEmpty());
}

void tst_SyncLogic::config_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("broker"); // empty: refused
    QTest::addColumn<QString>("account");
    QTest::addColumn<QString>("caFile");

    const auto row = [](const char *name, const char *text, const QString &broker = {},
                        const QString &account = {}, const QString &caFile = {}) {
        QTest::newRow(name) << QByteArray(text) << broker << account << caFile;
    };
    row("full", "# c\nbroker = mqtts://b.example\nuser = al ice\nca-file = /etc/ca.pem\n",
        "mqtts://b.example:8883", "al ice@b.example", "/etc/ca.pem");
    row("no CA file", "user=bob\n\nbroker=mqtt://127.0.0.1:1884", "mqtt://127.0.0.1:1884",
        "bob@127.0.0.1");
    row("no user", "broker = mqtt://b\n");
    row("bad URL", "broker = b:1883\nuser = u\n");
    row("unknown setting", "broker = mqtt://b\nuser = u\npassword = x\n");
    row("not name = value", "broker mqtt://b\nuser = u\n");
    // A user's topics are vorn/<user>/...: wildcards or a '/' there would reach other users'.
    row("user with +", "broker = mqtt://b\nuser = +\n");
    row("user with #", "broker = mqtt://b\nuser = a#\n");
    row("user with /", "broker = mqtt://b\nuser = alice/kv\n");
}

void tst_SyncLogic::config()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, broker);
    QFETCH(QString, account);
    QFETCH(QString, caFile);
    QString error;
    std::optional<SyncConfig> config = SyncConfig::fromText(text, &error);
    QCOMPARE(config ? config->broker.url() : QString(), broker);
    QCOMPARE(error.isEmpty(), config.has_value());
    // What is written reads back the same, and never holds a password.
    for (int round = 0; config && round < 2; ++round) {
        QCOMPARE(config->broker.url(), broker);
        QCOMPARE(config->passwordAccount(), account);
        QCOMPARE(config->caFile, caFile);
        config = SyncConfig::fromText(config->toText(), &error);
        QVERIFY(config);
    }
}

void tst_SyncLogic::incomingValue_data()
{
    QTest::addColumn<QByteArray>("topic");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<int>("verdict");

    using V = IncomingValue::Verdict;
    const QByteArray prefix = "vorn/alice/kv/";
    QTest::newRow("a value") << prefix + "syncedBlockState" << QByteArray("{}") << int(V::Store);
    QTest::newRow("binary") << prefix + "k" << QByteArray("\0\xff\x80", 3) << int(V::Store);
    QTest::newRow("exactly 1 MiB") << prefix + "k" << QByteArray(1024 * 1024, 'x') << int(V::Store);
    QTest::newRow("1 MiB and a byte")
            << prefix + "k" << QByteArray(1024 * 1024 + 1, 'x') << int(V::TooLarge);
    QTest::newRow("empty: a deletion") << prefix + "k" << QByteArray() << int(V::Deletion);
    const QByteArray unsafe[] = {"../x",      "..",    ".hidden", ".vorn-1-a-k",       "a/b",
                                 {"a\0b", 3}, "\xc3(", "",        QByteArray(256, 'k')};
    for (const QByteArray &key : unsafe)
        QTest::addRow("unsafe: %s", key.left(12).toPercentEncoding().constData())
                << prefix + key << QByteArray("v") << int(V::UnsafeKey);
    // Keys that could pass for others.
    for (const QByteArray &key : {QByteArray("\xe2\x80\xae"
                                             "evil"),
                                  QByteArray("\xef\xbb\xbf"
                                             "syncedBlockState"),
                                  QByteArray("zero\xe2\x80\x8bwidth"), QByteArray("a\x01z"),
                                  QByteArray(" lead"), QByteArray("trail ")})
        QTest::addRow("not plain: %s", key.toPercentEncoding().constData())
                << prefix + key << QByteArray("v") << int(V::UnsafeKey);
    QTest::newRow("another user") << QByteArray("vorn/bob/kv/k") << QByteArray("v")
                                  << int(V::NotOurs);
    QTest::newRow("the marker") << QByteArray("vorn/alice/sync/vorn-x") << QByteArray("v")
                                << int(V::NotOurs);
}

void tst_SyncLogic::incomingValue()
{
    QFETCH(QByteArray, topic);
    QFETCH(QByteArray, payload);
    QFETCH(int, verdict);
    QCOMPARE(int(IncomingValue::classify("vorn/alice/kv/", topic, payload).verdict), verdict);
}

void tst_SyncLogic::statusShowsNamesEscaped()
{
    const QJsonObject keys{{QStringLiteral("a\u202eb\u2066c\nd\ufeff"),
                            QJsonObject{{QStringLiteral("sent"), "2024-01-01T00:00:00.000Z"}}}};
    const QString report = SyncStatus::report(
            QJsonDocument(QJsonObject{{QStringLiteral("keys"), keys}}).toJson(), nullptr);
    QVERIFY2(report.contains(QStringLiteral("a\\u{202e}b\\u{2066}c\\x0ad\\u{feff} ")),
             qPrintable(report));
}

void tst_SyncLogic::localBrokerExposure_data()
{
    QTest::addColumn<bool>("lan");
    QTest::addColumn<bool>("tls"); // for the WebSockets listener
    QTest::addColumn<QString>("warned"); // empty: no warning
    QTest::addColumn<QString>("page");
    QTest::newRow("loopback") << false << false << QString() << "http://127.0.0.1:9001/?broker=ws:";
    QTest::newRow("--lan") << true << false << "without TLS on every network"
                           << "http://";
    QTest::newRow("--lan, TLS") << true << true << "plain MQTT (port 1884) without"
                                << "https://";
}

void tst_SyncLogic::localBrokerExposure()
{
    QFETCH(bool, lan);
    QFETCH(bool, tls);
    QFETCH(QString, warned);
    QFETCH(QString, page);
    const LocalBroker broker({QStringLiteral("/b"),
                              QStringLiteral("u"),
                              {},
                              1884,
                              9001,
                              lan,
                              {},
                              tls ? QStringLiteral("/c") : QString(),
                              QStringLiteral("/k")});
    QCOMPARE(broker.warning().isEmpty(), warned.isEmpty());
    QVERIFY(broker.warning().contains(warned) && broker.pageAddress().startsWith(page));
    QCOMPARE(broker.configText().contains("websockets\ncertfile /c\nkeyfile /k\n"), tls);
}

void tst_SyncLogic::hostileBroker_data()
{
    // Malformed or unexpected answers to CONNECT, in hex. (Paho ignores a packet of the wrong
    // type before CONNACK until its connect timeout.)
    QTest::addColumn<QByteArray>("answer");
    const std::pair<const char *, const char *> rows[] = {
            {"CONNACK with an unknown property", "20040000017f"},
            {"CONNACK whose properties run past its end", "2003000005"},
            {"CONNACK cut short", "200100"},
            {"CONNACK with a five-byte length", "20ffffffff7f"},
            {"CONNACK with a property length of 256 MiB", "20070000ffffff7f00"},
            {"PUBLISH whose topic runs past its end", "2003000000300500ff616263"},
            {"a second CONNACK", "20030000002003000000"},
    };
    for (const auto &[name, answer] : rows)
        QTest::newRow(name) << QByteArray::fromHex(answer);
}

void tst_SyncLogic::hostileBroker()
{
    // A broker that answers each client's first bytes (its CONNECT) with the row's answer, then
    // keeps the connection open. The bridge ends each broken connection (one line each) and
    // reconnects; the process goes on.
    QFETCH(QByteArray, answer);
    QTcpServer broker;
    QVERIFY(broker.listen(QHostAddress::LocalHost));
    int connections = 0;
    connect(&broker, &QTcpServer::newConnection, &broker, [&] {
        while (QTcpSocket *socket = broker.nextPendingConnection()) {
            ++connections;
            connect(
                    socket, &QTcpSocket::readyRead, socket, [=] { socket->write(answer); },
                    Qt::SingleShotConnection);
        }
    });
    TestHome home;
    SyncBridge::Options options;
    options.cloudFolder = home.cloudFolder();
    options.baseFolder = home.path(QStringLiteral("base"));
    options.statusFile = home.path(QStringLiteral("status.json"));
    options.connection.broker
            = *BrokerAddress::parse(QStringLiteral("mqtt://127.0.0.1:%1").arg(broker.serverPort()));
    options.connection.user = QStringLiteral("alice");
    options.connection.password = "secret";
    options.connection.clientId = QStringLiteral("vorn-test-hostile");
    SyncBridge bridge(options);
    QSignalSpy failed(bridge.connection(), &MqttConnection::connectFailed);
    QSignalSpy lost(bridge.connection(), &MqttConnection::connectionLost);
    bridge.start();
    QTRY_VERIFY_WITH_TIMEOUT(connections >= 3, 10000);
    bridge.stop();
    const int ended = int(failed.size() + lost.size()); // the last one may still have been going
    QVERIFY2(ended == connections - 1 || ended == connections,
             qPrintable(QStringLiteral("%1 ends of %2 connections").arg(ended).arg(connections)));
}

QTEST_GUILESS_MAIN(tst_SyncLogic)
#include "tst_synclogic.moc"
