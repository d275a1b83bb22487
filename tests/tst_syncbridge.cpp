#include "brokeraddress.h"
#include "cloudkeyvaluestore_linux.h"
#include "deviceidentity.h"
#include "deviceregistry.h"
#include "incomingvalue.h"
#include "keychain.h"
#include "mosquittobroker.h"
#include "mqttconnection.h"
#include "syncbridge.h"
#include "syncconfig.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <sys/stat.h>

namespace {

QStringList g_syncLog;
QtMessageHandler g_previousHandler = nullptr;

void captureSyncLog(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (context.category && QByteArray(context.category) == "vorn.sync")
        g_syncLog.append(message);
    g_previousHandler(type, context, message);
}

const QString user = QStringLiteral("alice");
const QByteArray password = "alice-secret";

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<absent>");
}

quint64 inode(const QString &path)
{
    struct stat info
    {
    };
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_ino : 0;
}

// Each computer's own keychain: only the device identifier lives there.
class MemoryKeychain : public Keychain
{
public:
    std::optional<QByteArray> find(const QString &, const QString &) override { return m_item; }
    void remove(const QString &, const QString &) override { m_item.reset(); }
    void add(const QString &, const QString &, const QByteArray &data) override { m_item = data; }

private:
    std::optional<QByteArray> m_item;
};

} // namespace

// Real brokers, real folders: the exchange of two computers' cloud folders through mosquitto.
class tst_SyncBridge : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void brokerAddress_data();
    void brokerAddress();
    void config_data();
    void config();
    void incomingValue_data();
    void incomingValue();
    void foldersStayEqual_data();
    void foldersStayEqual();
    void reconciliation_data();
    void reconciliation();
    void badInputNeverStopsTheExchange();
    void secondUserIsFencedOff();
    void tls_data();
    void tls();
    void registryConverges_data();
    void registryConverges();

private:
    struct Computer
    {
        QString folder;
        QString base;
        QString status;
        QString clientId;
        std::unique_ptr<SyncBridge> bridge;
    };

    MqttConnection::Settings settings(const QString &clientId, const QString &who = user,
                                      const QByteArray &secret = password) const;
    void up(Computer &computer, const MqttConnection::Settings &connection);
    void up(Computer &computer) { up(computer, settings(computer.clientId)); }
    void writeExternally(const Computer &computer, const QString &key, const QByteArray &bytes);
    QByteArray brokerValue(const QString &key, const QString &who = user,
                           const QByteArray &secret = password);
    void publishAsPhone(const QString &key, const QByteArray &bytes);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<MosquittoBroker> m_broker;
    Computer m_a;
    Computer m_b;
};

void tst_SyncBridge::initTestCase()
{
    g_previousHandler = qInstallMessageHandler(captureSyncLog);
}

void tst_SyncBridge::init()
{
    g_syncLog.clear();
    m_dir = std::make_unique<QTemporaryDir>();
    m_broker = std::make_unique<MosquittoBroker>(
            QHash<QString, QByteArray>{{user, password}, {QStringLiteral("bob"), "bob-secret"}});
    int n = 0;
    for (Computer *computer : {&m_a, &m_b}) {
        const QString name = QString(QLatin1Char('A' + n++));
        computer->folder = m_dir->filePath(name + QStringLiteral("/cloud"));
        computer->base = m_dir->filePath(name + QStringLiteral("/base"));
        computer->status = m_dir->filePath(name + QStringLiteral("/status.json"));
        computer->clientId = QStringLiteral("vorn-test-") + name;
        QDir().mkpath(computer->folder);
    }
}

void tst_SyncBridge::cleanup()
{
    m_a.bridge.reset();
    m_b.bridge.reset();
    m_broker.reset();
    m_dir.reset();
}

MqttConnection::Settings tst_SyncBridge::settings(const QString &clientId, const QString &who,
                                                  const QByteArray &secret) const
{
    MqttConnection::Settings s;
    s.broker = *BrokerAddress::parse(QStringLiteral("mqtt://127.0.0.1:%1").arg(m_broker->port()));
    s.user = who;
    s.password = secret;
    s.clientId = clientId;
    return s;
}

void tst_SyncBridge::up(Computer &computer, const MqttConnection::Settings &connection)
{
    SyncBridge::Options options;
    options.cloudFolder = computer.folder;
    options.baseFolder = computer.base;
    options.statusFile = computer.status;
    options.connection = connection;
    computer.bridge = std::make_unique<SyncBridge>(options);
    computer.bridge->start();
}

void tst_SyncBridge::writeExternally(const Computer &computer, const QString &key,
                                     const QByteArray &bytes)
{
    // Another process's writer: its own store instance, so the bridge sees a foreign change.
    LinuxCloudKeyValueStore(computer.folder, LinuxCloudKeyValueStore::Notices::None)
            .setData(bytes, key);
}

QByteArray tst_SyncBridge::brokerValue(const QString &key, const QString &who,
                                       const QByteArray &secret)
{
    // Retained values come right after SUBACK; a message of our own sent after SUBACK comes
    // after them, so its arrival says everything retained has been seen.
    MqttConnection reader(settings(QStringLiteral("vorn-test-reader"), who, secret));
    const QByteArray marker = "vorn/" + who.toUtf8() + "/sync/reader";
    QByteArray value = "<nothing retained>";
    bool done = false;
    QObject::connect(&reader, &MqttConnection::connected, &reader, [&] {
        reader.subscribe({"vorn/" + who.toUtf8() + "/kv/" + key.toUtf8(), marker});
    });
    QObject::connect(&reader, &MqttConnection::subscribeAcknowledged, &reader,
                     [&] { reader.publish(marker, "end", false); });
    QObject::connect(&reader, &MqttConnection::messageReceived, &reader,
                     [&](const QByteArray &topic, const QByteArray &payload) {
                         if (topic == marker)
                             done = true;
                         else
                             value = payload;
                     });
    reader.start(false);
    const QDeadlineTimer deadline(10000);
    while (!done && !deadline.hasExpired())
        QTest::qWait(5);
    return done ? value : QByteArray("<no answer>");
}

void tst_SyncBridge::publishAsPhone(const QString &key, const QByteArray &bytes)
{
    MqttConnection phone(settings(QStringLiteral("vorn-test-phone")));
    QSignalSpy acknowledged(&phone, &MqttConnection::publishAcknowledged);
    QObject::connect(&phone, &MqttConnection::connected, &phone,
                     [&] { phone.publish("vorn/alice/kv/" + key.toUtf8(), bytes, true); });
    phone.start(false);
    QVERIFY(acknowledged.wait(10000));
}

void tst_SyncBridge::brokerAddress_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("canonical"); // empty: refused

    QTest::newRow("mqtt, default port") << "mqtt://broker.example"
                                        << "mqtt://broker.example:1883";
    QTest::newRow("mqtts, default port") << "mqtts://broker.example"
                                         << "mqtts://broker.example:8883";
    QTest::newRow("mqtts, own port") << "MQTTS://Broker.example:9883"
                                     << "mqtts://broker.example:9883";
    QTest::newRow("ws with path") << "ws://h:8080/mqtt"
                                  << "ws://h:8080/mqtt";
    QTest::newRow("wss, default port") << "wss://h"
                                       << "wss://h:443";
    QTest::newRow("IPv6 literal") << "mqtt://[::1]:1884"
                                  << "mqtt://[::1]:1884";
    QTest::newRow("no scheme") << "broker.example:1883"
                               << "";
    QTest::newRow("http") << "http://broker.example"
                          << "";
    QTest::newRow("no host") << "mqtt://:1883"
                             << "";
    QTest::newRow("port out of range") << "mqtt://h:70000"
                                       << "";
    QTest::newRow("password in the URL") << "mqtt://u:pw@h"
                                         << "";
    QTest::newRow("path on mqtt") << "mqtt://h/x"
                                  << "";
    QTest::newRow("query") << "mqtts://h?insecure=1"
                           << "";
    QTest::newRow("empty") << ""
                           << "";
}

void tst_SyncBridge::brokerAddress()
{
    QFETCH(QString, text);
    QFETCH(QString, canonical);
    QString error;
    const std::optional<BrokerAddress> address = BrokerAddress::parse(text, &error);
    QCOMPARE(address ? address->url() : QString(), canonical);
    QCOMPARE(error.isEmpty(), !canonical.isEmpty());
}

void tst_SyncBridge::config_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("broker"); // empty: refused
    QTest::addColumn<QString>("account");
    QTest::addColumn<QString>("caFile");

    QTest::newRow("full") << QByteArray("# c\nbroker = mqtts://b.example\nuser = al ice\n"
                                        "ca-file = /etc/ca.pem\n")
                          << "mqtts://b.example:8883"
                          << "al ice@b.example"
                          << "/etc/ca.pem";
    QTest::newRow("no CA file") << QByteArray("user=bob\n\nbroker=mqtt://127.0.0.1:1884")
                                << "mqtt://127.0.0.1:1884"
                                << "bob@127.0.0.1"
                                << "";
    QTest::newRow("no user") << QByteArray("broker = mqtt://b\n") << ""
                             << ""
                             << "";
    QTest::newRow("bad URL") << QByteArray("broker = b:1883\nuser = u\n") << ""
                             << ""
                             << "";
    QTest::newRow("unknown setting")
            << QByteArray("broker = mqtt://b\nuser = u\npassword = x\n") << ""
            << ""
            << "";
    QTest::newRow("not name = value") << QByteArray("broker mqtt://b\nuser = u\n") << ""
                                      << ""
                                      << "";
}

void tst_SyncBridge::config()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, broker);
    QFETCH(QString, account);
    QFETCH(QString, caFile);
    QString error;
    const std::optional<SyncConfig> config = SyncConfig::fromText(text, &error);
    QCOMPARE(config ? config->broker.url() : QString(), broker);
    if (!config) {
        QVERIFY(!error.isEmpty());
        return;
    }
    QCOMPARE(config->passwordAccount(), account);
    QCOMPARE(config->caFile, caFile);
    // What is written reads back the same, and never holds a password.
    const std::optional<SyncConfig> again = SyncConfig::fromText(config->toText(), &error);
    QVERIFY(again);
    QCOMPARE(again->broker.url(), broker);
    QCOMPARE(again->passwordAccount(), account);
    QCOMPARE(again->caFile, caFile);
}

void tst_SyncBridge::incomingValue_data()
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
    QTest::newRow("../x") << prefix + "../x" << QByteArray("v") << int(V::UnsafeKey);
    QTest::newRow("..") << prefix + ".." << QByteArray("v") << int(V::UnsafeKey);
    QTest::newRow(".hidden") << prefix + ".hidden" << QByteArray("v") << int(V::UnsafeKey);
    QTest::newRow("store temporary")
            << prefix + ".vorn-1-a-k" << QByteArray("v") << int(V::UnsafeKey);
    QTest::newRow("sub/level") << prefix + "a/b" << QByteArray("v") << int(V::UnsafeKey);
    QTest::newRow("NUL") << prefix + QByteArray("a\0b", 3) << QByteArray("v") << int(V::UnsafeKey);
    QTest::newRow("bad UTF-8") << prefix + "\xc3(" << QByteArray("v") << int(V::UnsafeKey);
    QTest::newRow("no key") << prefix << QByteArray("v") << int(V::UnsafeKey);
    QTest::newRow("256 bytes") << prefix + QByteArray(256, 'k') << QByteArray("v")
                               << int(V::UnsafeKey);
    QTest::newRow("another user") << QByteArray("vorn/bob/kv/k") << QByteArray("v")
                                  << int(V::NotOurs);
    QTest::newRow("the marker") << QByteArray("vorn/alice/sync/vorn-x") << QByteArray("v")
                                << int(V::NotOurs);
}

void tst_SyncBridge::incomingValue()
{
    QFETCH(QByteArray, topic);
    QFETCH(QByteArray, payload);
    QFETCH(int, verdict);
    QCOMPARE(int(IncomingValue::classify("vorn/alice/kv/", topic, payload).verdict), verdict);
}

void tst_SyncBridge::foldersStayEqual_data()
{
    QTest::addColumn<QStringList>("steps"); // "<A|B> key value", each awaited on the other side
    QTest::addColumn<bool>("awaitEach");

    QTest::newRow("here to there") << QStringList{"A syncedBlockState on"} << true;
    QTest::newRow("there to here") << QStringList{"B deviceRegistry r1"} << true;
    QTest::newRow("both ways, one key") << QStringList{"A k 1", "B k 2", "A k 3", "B k 4"} << true;
    QTest::newRow("several keys") << QStringList{"A a 1", "B b 2", "A c 3"} << true;
    QTest::newRow("a burst on one key ends with its last value")
            << QStringList{"A k 1", "A k 2", "A k 3", "A k 4", "A k 5", "A k 6"} << false;
    QTest::newRow("bursts from both sides settle on one value")
            << QStringList{"A k a1", "B k b1", "A k a2", "B k b2"} << false;
}

void tst_SyncBridge::foldersStayEqual()
{
    QFETCH(QStringList, steps);
    QFETCH(bool, awaitEach);
    up(m_a);
    up(m_b);
    QTRY_VERIFY_WITH_TIMEOUT(m_a.bridge->isInStep() && m_b.bridge->isInStep(), 10000);
    QString lastKey;
    for (const QString &step : steps) {
        const QStringList parts = step.split(QLatin1Char(' '));
        Computer &from = parts[0] == QLatin1String("A") ? m_a : m_b;
        Computer &to = parts[0] == QLatin1String("A") ? m_b : m_a;
        writeExternally(from, parts[1], parts[2].toUtf8());
        lastKey = parts[1];
        if (awaitEach)
            QTRY_COMPARE_WITH_TIMEOUT(readFile(to.folder + QLatin1Char('/') + parts[1]),
                                      parts[2].toUtf8(), 10000);
    }
    // Both folders and the broker end on one value.
    const QString aFile = m_a.folder + QLatin1Char('/') + lastKey;
    const QString bFile = m_b.folder + QLatin1Char('/') + lastKey;
    QTRY_VERIFY_WITH_TIMEOUT(
            readFile(aFile) == readFile(bFile) && readFile(aFile) == brokerValue(lastKey), 10000);
    if (!awaitEach && steps.first().startsWith(QLatin1Char('A'))
        && steps.last().startsWith(QLatin1Char('A')))
        QCOMPARE(readFile(bFile), steps.last().split(QLatin1Char(' ')).last().toUtf8());
}

void tst_SyncBridge::reconciliation_data()
{
    // A script per row: "up A", "down B", "write A key value", "expect B key value",
    // "broker key value" (the retained value), "phone key value" (published by the phone),
    // "crash broker", "start broker", "wipe broker" (crash and lose its store), "mark B key" and
    // "unchanged B key" (the file was not rewritten since the mark).
    QTest::addColumn<QStringList>("script");

    QTest::newRow("a value written while a bridge was down arrives on its reconnect")
            << QStringList{"up A",        "up B", "down B",       "write A k v1",
                           "broker k v1", "up B", "expect B k v1"};
    QTest::newRow("the phone's value written while a bridge was down arrives on its reconnect")
            << QStringList{"up B", "down B", "phone syncedBlockState on", "up B",
                           "expect B syncedBlockState on"};
    QTest::newRow("broker restart") << QStringList{
            "up A",         "up B",         "write A k v1",  "expect B k v1", "crash broker",
            "start broker", "write A k v2", "expect B k v2", "write B k v3",  "expect A k v3"};
    QStringList crashes{"up A", "up B"};
    for (int i = 0; i < 8; ++i)
        crashes += QStringList{"crash broker", QStringLiteral("write A k crash%1").arg(i),
                               "start broker", QStringLiteral("expect B k crash%1").arg(i)};
    // The broker resends, after a crash, messages it had not seen acknowledged: among them the
    // bridge's end-of-values marker of the connection before, which must not end a later
    // reconciliation before the values came (that once sent B's stale value back).
    QTest::newRow("repeated crashes with a change made while the broker was down") << crashes;
    QTest::newRow("a local change made while offline is published on reconnect")
            << QStringList{"up A",
                           "up B",
                           "crash broker",
                           "write A k offline",
                           "start broker",
                           "expect B k offline",
                           "broker k offline"};
    QTest::newRow("changed only here while down: ours is sent")
            << QStringList{"up A",           "up B", "write A k v0",    "expect B k v0", "down B",
                           "write B k mine", "up B", "expect A k mine", "broker k mine"};
    QTest::newRow("changed on both while down: the broker's value wins")
            << QStringList{"up A",
                           "up B",
                           "write A k v0",
                           "expect B k v0",
                           "down B",
                           "write A k theirs",
                           "broker k theirs",
                           "write B k mine",
                           "up B",
                           "expect B k theirs",
                           "expect A k theirs"};
    QTest::newRow("a key never exchanged: the broker's value wins over a local one")
            << QStringList{"up A", "write A k theirs",  "broker k theirs",  "write B k mine",
                           "up B", "expect B k theirs", "expect A k theirs"};
    QTest::newRow("keys that never changed are not rewritten") << QStringList{
            "up A",   "up B", "write A k v",     "expect B k v",     "mark B k",
            "down B", "up B", "write A other x", "expect B other x", "unchanged B k"};
    QTest::newRow("a broker that lost its store gets the values again")
            << QStringList{"up A", "write A k v", "broker k v", "wipe broker", "broker k v"};
    QTest::newRow("an empty retained value (a deletion) deletes nothing here")
            << QStringList{"up A",          "write A k v",      "broker k v",  "phone k ",
                           "phone j after", "expect A j after", "expect A k v"};
}

void tst_SyncBridge::reconciliation()
{
    QFETCH(QStringList, script);
    quint64 marked = 0;
    for (const QString &line : script) {
        const QStringList w = line.split(QLatin1Char(' '));
        Computer *computer = w.size() > 1 && w[1] == QLatin1String("A") ? &m_a : &m_b;
        const QString file = w.size() > 2 ? computer->folder + QLatin1Char('/') + w[2] : QString();
        if (w[0] == QLatin1String("up")) {
            QElapsedTimer clock;
            clock.start();
            up(*computer);
            QTRY_VERIFY_WITH_TIMEOUT(computer->bridge->isInStep(), 10000);
            qDebug("%s in step %lld ms after start", qPrintable(line), clock.elapsed());
        } else if (w[0] == QLatin1String("down")) {
            computer->bridge.reset();
        } else if (w[0] == QLatin1String("write")) {
            writeExternally(*computer, w[2], w[3].toUtf8());
        } else if (w[0] == QLatin1String("expect")) {
            QTRY_COMPARE_WITH_TIMEOUT(readFile(file), w[3].toUtf8(), 10000);
        } else if (w[0] == QLatin1String("broker")) {
            QTRY_COMPARE_WITH_TIMEOUT(brokerValue(w[1]), w[2].toUtf8(), 10000);
        } else if (w[0] == QLatin1String("phone")) {
            publishAsPhone(w[1], w[2].toUtf8());
        } else if (line == QLatin1String("crash broker")) {
            m_broker->kill();
        } else if (line == QLatin1String("start broker")) {
            QVERIFY(m_broker->start());
        } else if (line == QLatin1String("wipe broker")) {
            m_broker->kill();
            QVERIFY(QFile::remove(m_broker->folder() + QStringLiteral("/mosquitto.db")));
            QVERIFY(m_broker->start());
        } else if (w[0] == QLatin1String("mark")) {
            marked = inode(file);
        } else if (w[0] == QLatin1String("unchanged")) {
            QCOMPARE(inode(file), marked);
        } else {
            QFAIL(qPrintable(QStringLiteral("unknown step ") + line));
        }
    }
}

void tst_SyncBridge::badInputNeverStopsTheExchange()
{
    up(m_a);
    QTRY_VERIFY_WITH_TIMEOUT(m_a.bridge->isInStep(), 10000);
    const QDir parent = QFileInfo(m_a.folder).dir();
    const QStringList around = parent.entryList(QDir::AllEntries | QDir::Hidden);

    const QByteArray huge(IncomingValue::maxValueBytes + 1, 'x');
    QByteArray binary;
    for (int i = 0; i < 256; ++i)
        binary += char(i);
    // Through the broker, twice each: refused keys stay out, each refusal is logged once.
    for (int round = 0; round < 2; ++round) {
        publishAsPhone(QStringLiteral(".hidden"), "v");
        publishAsPhone(QStringLiteral(".."), "v");
        publishAsPhone(QStringLiteral("huge"), huge);
        publishAsPhone(QStringLiteral("empty"), QByteArray());
    }
    publishAsPhone(QStringLiteral("binary"), binary);
    // Straight in, as a broker that breaks the topic rules could send them.
    const QByteArray prefix = "vorn/alice/kv/";
    for (const QByteArray &topic :
         {prefix + "../x", prefix + "../../escaped", prefix + "a/b",
          prefix + QByteArray("n\0ul", 4), prefix + "\xff\xfe", QByteArray("vorn/alice/kv")}) {
        m_a.bridge->handleBrokerMessage(topic, "evil");
        m_a.bridge->handleBrokerMessage(topic, "evil");
    }
    publishAsPhone(QStringLiteral("after"), "still exchanged");

    QTRY_COMPARE_WITH_TIMEOUT(readFile(m_a.folder + QStringLiteral("/after")),
                              QByteArray("still exchanged"), 10000);
    QCOMPARE(readFile(m_a.folder + QStringLiteral("/binary")), binary);
    QCOMPARE(QDir(m_a.folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             (QStringList{"after", "binary"}));
    QCOMPARE(parent.entryList(QDir::AllEntries | QDir::Hidden), around);
    QVERIFY(!QFileInfo::exists(m_dir->filePath(QStringLiteral("escaped"))));

    // One line per refused key: .hidden, .., huge and the five unsafe straight ones; none for
    // deletions or for a topic outside the user's keys.
    QStringList refusals = g_syncLog.filter(QStringLiteral("refused key"));
    QCOMPARE(refusals.size(), 8);
    QCOMPARE(refusals.filter(QStringLiteral("\"huge\": larger than 1 MiB")).size(), 1);
    QCOMPARE(refusals.filter(QStringLiteral("\".hidden\"")).size(), 1);
    for (const QString &line : refusals)
        QVERIFY2(!line.contains(QChar(0)) && !line.contains(QLatin1Char('\n')), qPrintable(line));

    // And the exchange goes on in the other direction too.
    writeExternally(m_a, QStringLiteral("mine"), "out");
    QTRY_COMPARE_WITH_TIMEOUT(brokerValue(QStringLiteral("mine")), QByteArray("out"), 10000);
}

void tst_SyncBridge::secondUserIsFencedOff()
{
    up(m_a);
    QTRY_VERIFY_WITH_TIMEOUT(m_a.bridge->isInStep(), 10000);
    writeExternally(m_a, QStringLiteral("k"), "alice's");
    QTRY_COMPARE_WITH_TIMEOUT(brokerValue(QStringLiteral("k")), QByteArray("alice's"), 10000);

    // Bob can neither read alice's subtree nor write into it. mosquitto grants the subscription
    // and filters what it delivers, so bob's own marker, sent after his attempt to write, shows
    // that everything alice's subtree would have given him has been delivered: nothing.
    MqttConnection bob(
            settings(QStringLiteral("vorn-test-bob"), QStringLiteral("bob"), "bob-secret"));
    const QByteArray marker = "vorn/bob/sync/marker";
    QList<QByteArray> seen;
    bool markerSeen = false;
    QObject::connect(&bob, &MqttConnection::connected, &bob, [&] {
        bob.subscribe({"vorn/alice/kv/+", "vorn/alice/#", marker});
    });
    QObject::connect(&bob, &MqttConnection::subscribeAcknowledged, &bob, [&] {
        bob.publish("vorn/alice/kv/k", "bob's", true);
        bob.publish(marker, "end", false);
    });
    QObject::connect(&bob, &MqttConnection::messageReceived, &bob,
                     [&](const QByteArray &topic, const QByteArray &payload) {
                         if (topic == marker)
                             markerSeen = true;
                         else
                             seen.append(topic + ' ' + payload);
                     });
    bob.start(false);
    QTRY_VERIFY_WITH_TIMEOUT(markerSeen, 10000);
    QCOMPARE(seen, QList<QByteArray>());
    // Whatever the broker answered bob, alice's value and folder are untouched: a later value of
    // alice's arrives, and k is still hers.
    publishAsPhone(QStringLiteral("later"), "x");
    QTRY_COMPARE_WITH_TIMEOUT(readFile(m_a.folder + QStringLiteral("/later")), QByteArray("x"),
                              10000);
    QCOMPARE(readFile(m_a.folder + QStringLiteral("/k")), QByteArray("alice's"));
    QCOMPARE(brokerValue(QStringLiteral("k")), QByteArray("alice's"));

    // A bridge with a wrong password says so, clearly, and keeps nothing half done.
    up(m_b, settings(m_b.clientId, user, "wrong"));
    QSignalSpy refused(m_b.bridge->connection(), &MqttConnection::connectFailed);
    QVERIFY(refused.wait(10000));
    QCOMPARE(refused.first().at(0).value<MqttConnection::Failure>(),
             MqttConnection::Failure::NotAuthorised);
    QCOMPARE(g_syncLog
                     .filter(QStringLiteral("the broker refused the credentials of alice: not "
                                            "authorised"))
                     .size(),
             1);
    QVERIFY(!m_b.bridge->isInStep());
}

void tst_SyncBridge::tls_data()
{
    QTest::addColumn<QString>("url"); // %1: the MQTT port, WS: the WebSockets port
    QTest::addColumn<QString>("caFile"); // in the certificate folder; empty: the system's CAs
    QTest::addColumn<bool>("connects");

    QTest::newRow("verifies against its CA") << "mqtts://localhost:%1"
                                             << "ca.crt" << true;
    QTest::newRow("refuses another CA") << "mqtts://localhost:%1"
                                        << "other.crt" << false;
    QTest::newRow("the system's CAs do not know it") << "mqtts://localhost:%1"
                                                     << "" << false;
    QTest::newRow("refuses a name the certificate lacks") << "mqtts://127.0.0.1:%1"
                                                          << "ca.crt" << false;
    QTest::newRow("plain MQTT to a TLS listener fails") << "mqtt://localhost:%1"
                                                        << "" << false;
    QTest::newRow("WebSockets, verifies against its CA") << "wss://localhost:WS/mqtt"
                                                         << "ca.crt" << true;
    QTest::newRow("WebSockets, refuses another CA") << "wss://localhost:WS"
                                                    << "other.crt" << false;
    QTest::newRow("WebSockets, the system's CAs do not know it") << "wss://localhost:WS"
                                                                 << "" << false;
    QTest::newRow("WebSockets, refuses a name the certificate lacks") << "wss://127.0.0.1:WS"
                                                                      << "ca.crt" << false;
    QTest::newRow("plain WebSockets to a TLS listener fail") << "ws://localhost:WS"
                                                             << "" << false;
}

void tst_SyncBridge::tls()
{
    QFETCH(QString, url);
    QFETCH(QString, caFile);
    QFETCH(bool, connects);
    QTemporaryDir certs;
    const std::optional<MosquittoBroker::Tls> tls = MosquittoBroker::makeTls(certs.path());
    QVERIFY(tls);
    // Served over TLS only.
    m_broker
            = std::make_unique<MosquittoBroker>(QHash<QString, QByteArray>{{user, password}}, *tls);

    MqttConnection::Settings connection = settings(m_a.clientId);
    connection.broker = *BrokerAddress::parse(
            QString(url)
                    .replace(QLatin1String("%1"), QString::number(m_broker->port()))
                    .replace(QLatin1String("WS"), QString::number(m_broker->webSocketPort())));
    connection.caFile = caFile.isEmpty() ? QString() : certs.filePath(caFile);
    up(m_a, connection);
    QSignalSpy failed(m_a.bridge->connection(), &MqttConnection::connectFailed);
    if (connects) {
        QTRY_VERIFY_WITH_TIMEOUT(m_a.bridge->isInStep(), 10000);
        writeExternally(m_a, QStringLiteral("k"), "over TLS");
        connection.clientId = m_b.clientId;
        up(m_b, connection);
        QTRY_COMPARE_WITH_TIMEOUT(readFile(m_b.folder + QStringLiteral("/k")),
                                  QByteArray("over TLS"), 10000);
        QCOMPARE(failed.count(), 0);
        return;
    }
    QVERIFY(failed.wait(10000));
    // Never a silent fall-back to plain text: it stays offline and says why.
    QVERIFY(!m_a.bridge->isInStep());
    if (url.startsWith(QLatin1String("mqtts")) || url.startsWith(QLatin1String("wss"))) {
        QCOMPARE(failed.first().at(0).value<MqttConnection::Failure>(),
                 MqttConnection::Failure::Certificate);
        QVERIFY2(failed.first().at(1).toString().contains(QLatin1String("certificate")),
                 qPrintable(failed.first().at(1).toString()));
    }
}

void tst_SyncBridge::registryConverges_data()
{
    QTest::addColumn<int>("computers");
    QTest::newRow("3 computers") << 3;
    QTest::newRow("5 computers") << 5;
}

void tst_SyncBridge::registryConverges()
{
    // Computers (folder, bridge, store, identity, registry) that announce at the same moment:
    // each read-modify-writes the one value, the broker keeps the last, and the registries put
    // their lost records back until every folder holds every computer.
    QFETCH(int, computers);
    struct Member
    {
        Computer computer;
        MemoryKeychain keychain;
        std::unique_ptr<LinuxCloudKeyValueStore> store;
        std::unique_ptr<DeviceIdentity> identity;
        std::unique_ptr<DeviceRegistry> registry;
    };
    std::vector<std::unique_ptr<Member>> members;
    QSet<QString> ids;
    for (int i = 0; i < computers; ++i) {
        auto member = std::make_unique<Member>();
        Computer &c = member->computer;
        c.folder = m_dir->filePath(QStringLiteral("m%1/cloud").arg(i));
        c.base = m_dir->filePath(QStringLiteral("m%1/base").arg(i));
        c.status = m_dir->filePath(QStringLiteral("m%1/status.json").arg(i));
        c.clientId = QStringLiteral("vorn-test-m%1").arg(i);
        QDir().mkpath(c.folder);
        up(c);
        member->store = std::make_unique<LinuxCloudKeyValueStore>(c.folder);
        member->identity = std::make_unique<DeviceIdentity>(&member->keychain);
        ids.insert(member->identity->currentDeviceID());
        members.push_back(std::move(member));
    }
    for (const auto &member : members)
        QTRY_VERIFY_WITH_TIMEOUT(member->computer.bridge->isInStep(), 10000);
    for (const auto &member : members) {
        member->registry
                = std::make_unique<DeviceRegistry>(member->store.get(), member->identity.get(),
                                                   m_dir->filePath(QStringLiteral("m-backups")));
    }
    for (const auto &member : members)
        member->registry->announce(SyncDeviceType::mac, member->computer.clientId);

    auto idsIn = [](const QString &folder) {
        const auto registry = RegistryValue::decode(readFile(folder + "/deviceRegistry"));
        const QList<QString> keys = registry.value_or(DeviceRegistryMap()).keys();
        return QSet<QString>(keys.cbegin(), keys.cend());
    };
    QElapsedTimer clock;
    clock.start();
    for (const auto &member : members)
        QTRY_COMPARE_WITH_TIMEOUT(idsIn(member->computer.folder), ids, 20000);
    qDebug("%d computers hold each other's records after %lld ms", computers, clock.elapsed());
    QCOMPARE(RegistryValue::decode(brokerValue(DeviceRegistry::registryKey))
                     .value_or(DeviceRegistryMap())
                     .size(),
             computers);
    // Registries go before the stores and bridges they use.
    for (const auto &member : members)
        member->registry.reset();
}

QTEST_GUILESS_MAIN(tst_SyncBridge)
#include "tst_syncbridge.moc"
