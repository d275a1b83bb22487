#include "brokeraddress.h"
#include "cloudkeyvaluestore_linux.h"
#include "deviceidentity.h"
#include "deviceregistry.h"
#include "fakes/fakekeychain.h"
#include "incomingvalue.h"
#include "mosquittobroker.h"
#include "syncbridge.h"
#include "testhome.h"

#include <QSignalSpy>

#include <memory>

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

// Another process's writer: its own store instance, so the bridge sees a foreign change.
void writeExternally(const QString &folder, const QString &key, const QByteArray &bytes)
{
    LinuxCloudKeyValueStore(folder, LinuxCloudKeyValueStore::Notices::None).setData(bytes, key);
}

int logged(const QString &text)
{
    return int(g_syncLog.filter(text).size());
}

} // namespace

// Real brokers, real folders: the exchange of computers' cloud folders through mosquitto.
class tst_SyncBridge : public QObject
{
    Q_OBJECT

    struct Computer
    {
        QString name;
        QString folder;
        std::unique_ptr<SyncBridge> bridge;
    };

    Computer computer(const QString &name) const
    {
        Computer made{name, m_home->path(name + QStringLiteral("/cloud")), nullptr};
        QDir().mkpath(made.folder);
        return made;
    }
    static QByteArray read(const Computer &computer, const QString &key)
    {
        return TestHome::readFile(computer.folder + QLatin1Char('/') + key);
    }
    // Starts the computer's bridge, as alice unless told otherwise; with `wait`, until in step.
    void up(Computer &computer, const MqttConnection::Settings &connection = {}, bool wait = true,
            qsizetype maxKeys = 4096, qint64 maxBytes = 32 << 20)
    {
        SyncBridge::Options options;
        options.maxKeys = maxKeys;
        options.maxBytes = maxBytes;
        options.cloudFolder = computer.folder;
        options.baseFolder = m_home->path(computer.name + QStringLiteral("/base"));
        options.statusFile = m_home->path(computer.name + QStringLiteral("/status.json"));
        options.connection = connection.clientId.isEmpty()
                ? m_broker->settings(QStringLiteral("vorn-test-") + computer.name, user, password)
                : connection;
        computer.bridge = std::make_unique<SyncBridge>(options);
        computer.bridge->start();
        if (wait)
            QTRY_VERIFY_WITH_TIMEOUT(computer.bridge->isInStep(), 10000);
    }
    QByteArrayList delivered(const QString &who, const QByteArray &secret,
                             const QByteArrayList &filters, const QByteArray &write = {})
    {
        // Retained values come right after SUBACK; a message of our own sent after SUBACK (and
        // after the write, a retained value on that topic) comes after them, so its arrival says
        // everything has been seen.
        MqttConnection reader(m_broker->settings(QStringLiteral("vorn-test-reader"), who, secret));
        const QByteArray marker = "vorn/" + who.toUtf8() + "/sync/reader";
        QSignalSpy received(&reader, &MqttConnection::messageReceived);
        QObject::connect(&reader, &MqttConnection::connected, &reader,
                         [&] { reader.subscribe(filters + QByteArrayList{marker}); });
        QObject::connect(&reader, &MqttConnection::subscribeAcknowledged, &reader, [&] {
            if (!write.isEmpty())
                reader.publish(write, who.toUtf8() + "'s", true);
            reader.publish(marker, "end", false);
        });
        reader.start(false);
        if (!QTest::qWaitFor([&] { return received.size() && received.last().at(0) == marker; },
                             10000))
            return {"<no answer>"};
        QByteArrayList seen;
        for (qsizetype i = 0; i + 1 < received.size(); ++i)
            seen.append(received.at(i).at(1).toByteArray());
        return seen;
    }
    QByteArray brokerValue(const QString &key)
    {
        const QByteArrayList seen = delivered(user, password, {"vorn/alice/kv/" + key.toUtf8()});
        return seen.isEmpty() ? QByteArray("<nothing retained>") : seen.last();
    }
    // Retained values from the phone, in order over one connection, 16 in flight at a time.
    void publish(const QList<std::pair<QString, QByteArray>> &values)
    {
        MqttConnection phone(m_broker->settings(QStringLiteral("vorn-test-phone"), user, password));
        qsizetype sent = 0;
        QSignalSpy acknowledged(&phone, &MqttConnection::publishAcknowledged);
        const auto next = [&] {
            if (sent < values.size()) { // counted first: an answer may come within publish()
                const auto &[key, bytes] = values[sent++];
                phone.publish("vorn/alice/kv/" + key.toUtf8(), bytes, true);
            }
        };
        QObject::connect(&phone, &MqttConnection::connected, &phone, [&] {
            for (int i = 0; i < 16; ++i)
                next();
        });
        QObject::connect(&phone, &MqttConnection::publishAcknowledged, &phone, next);
        phone.start(false);
        QTRY_COMPARE_WITH_TIMEOUT(acknowledged.size(), values.size(), 30000);
    }

    QTemporaryDir m_certificates;
    std::unique_ptr<TestHome> m_home;
    std::unique_ptr<MosquittoBroker> m_broker;
    Computer m_a;
    Computer m_b;

private Q_SLOTS:
    void initTestCase()
    {
        g_previousHandler = qInstallMessageHandler(captureSyncLog);
        // Two throw-away CAs, and a certificate for localhost signed by the first.
        const QString request = QStringLiteral("req -x509 -newkey ec -pkeyopt "
                                               "ec_paramgen_curve:prime256v1 -nodes -days 2 "
                                               "-keyout D/%1.key -out D/%1.crt -subj /CN=%2");
        for (const QString &args :
             {request.arg("ca", "ca"), request.arg("other", "other"),
              request.arg("server", "localhost")
                      + " -CA D/ca.crt -CAkey D/ca.key -addext subjectAltName=DNS:localhost "
                        "-addext basicConstraints=CA:FALSE"}) {
            const TestHome::ProgramResult made
                    = TestHome::run(QStringLiteral("openssl"),
                                    QString(args)
                                            .replace("D/", m_certificates.path() + '/')
                                            .split(QLatin1Char(' ')));
            QVERIFY2(made.exitCode == 0, made.err.constData());
        }
    }

    void init()
    {
        g_syncLog.clear();
        m_home = std::make_unique<TestHome>();
        m_broker = std::make_unique<MosquittoBroker>(QHash<QString, QByteArray>{
                {user, password}, {QStringLiteral("bob"), "bob-secret"}});
        m_a = computer(QStringLiteral("A"));
        m_b = computer(QStringLiteral("B"));
    }

    void cleanup()
    {
        m_a.bridge.reset();
        m_b.bridge.reset();
        m_broker.reset();
        m_home.reset();
    }

    void exchange_data()
    {
        // A script per row, steps separated by "; ": "up A", "down B", "write A key value",
        // "expect B key value", "broker key value" (the retained value), "phone key value"
        // (published by the phone), "crash broker", "start broker", "wipe broker" (crash and lose
        // its store), "mark B key" and "unchanged B key" (the file was not rewritten since the
        // mark), "same key" (both folders and the broker end on one value).
        QTest::addColumn<QString>("script");

        QTest::newRow("both ways, several keys")
                << "up A; up B; write A k 1; expect B k 1; write B k 2; expect A k 2; write A k 3; "
                   "expect B k 3; write B j 4; expect A j 4; same k; same j";
        QTest::newRow("a burst on one key ends with its last value")
                << "up A; up B; write A k 1; write A k 2; write A k 3; write A k 4; write A k 5; "
                   "write A k 6; same k; expect B k 6";
        QTest::newRow("bursts from both sides settle on one value")
                << "up A; up B; write A k a1; write B k b1; write A k a2; write B k b2; same k";

        // The broker resends, after a crash, messages it had not seen acknowledged: among them the
        // bridge's end-of-values marker of the connection before, which must not end a later
        // exchange before the values came (that once sent B's stale value back).
        QString crashes = QStringLiteral("up A; up B");
        for (int i = 0; i < 8; ++i)
            crashes += QStringLiteral("; crash broker; write A k c%1; start broker; expect B k c%1")
                               .arg(i);
        QTest::newRow("repeated crashes with a change made while the broker was down")
                << crashes + "; write B k back; expect A k back";
        QTest::newRow("changed only here while down: ours is sent")
                << "up A; up B; write A k v0; expect B k v0; down B; write B k mine; up B; "
                   "expect A k mine; broker k mine";
        QTest::newRow("changed on both while down: the broker's value wins")
                << "up A; up B; write A k v0; expect B k v0; down B; write A k theirs; "
                   "broker k theirs; write B k mine; up B; expect B k theirs; expect A k theirs";
        QTest::newRow("a key never exchanged: the broker's value wins over a local one")
                << "up A; write A k theirs; broker k theirs; write B k mine; up B; "
                   "expect B k theirs; expect A k theirs";
        QTest::newRow("keys that never changed are not rewritten")
                << "up A; up B; write A k v; expect B k v; mark B k; down B; up B; "
                   "write A other x; expect B other x; unchanged B k";
        QTest::newRow("a value the broker took survives its crash")
                << "up A; write A k v; broker k v; down A; crash broker; start broker; broker k v";
        QTest::newRow("a broker that lost its store gets the values again")
                << "up A; write A k v; broker k v; wipe broker; broker k v";
    }

    void exchange()
    {
        QFETCH(QString, script);
        QDateTime marked;
        for (const QString &line : script.split(QStringLiteral("; "))) {
            const QStringList w = line.split(QLatin1Char(' '));
            Computer *computer = w.size() > 1 && w[1] == QLatin1String("A") ? &m_a : &m_b;
            const QString file
                    = w.size() > 2 ? computer->folder + QLatin1Char('/') + w[2] : QString();
            if (w[0] == QLatin1String("up")) {
                up(*computer);
            } else if (w[0] == QLatin1String("down")) {
                computer->bridge.reset();
            } else if (w[0] == QLatin1String("write")) {
                writeExternally(computer->folder, w[2], w[3].toUtf8());
            } else if (w[0] == QLatin1String("expect")) {
                QTRY_COMPARE_WITH_TIMEOUT(TestHome::readFile(file), w[3].toUtf8(), 10000);
            } else if (w[0] == QLatin1String("broker")) {
                QTRY_COMPARE_WITH_TIMEOUT(brokerValue(w[1]), w[2].toUtf8(), 10000);
            } else if (w[0] == QLatin1String("phone")) {
                publish({{w[1], w[2].toUtf8()}});
            } else if (line == QLatin1String("crash broker")) {
                m_broker->kill();
            } else if (line == QLatin1String("start broker")) {
                QVERIFY(m_broker->start());
            } else if (line == QLatin1String("wipe broker")) {
                m_broker->kill();
                QVERIFY(QFile::remove(m_broker->database()));
                QVERIFY(m_broker->start());
            } else if (w[0] == QLatin1String("same")) {
                QTRY_VERIFY_WITH_TIMEOUT(read(m_a, w[1]) == read(m_b, w[1])
                                                 && read(m_b, w[1]) == brokerValue(w[1]),
                                         10000);
            } else if (w[0] == QLatin1String("mark")) {
                marked = QFileInfo(file).lastModified();
            } else if (w[0] == QLatin1String("unchanged")) {
                QCOMPARE(QFileInfo(file).lastModified(), marked);
            } else {
                QFAIL(qPrintable(QStringLiteral("unknown step ") + line));
            }
        }
    }

    void badInputNeverStopsTheExchange()
    {
        up(m_a);
        writeExternally(m_a.folder, QStringLiteral("kept"), "v");
        QTRY_COMPARE_WITH_TIMEOUT(brokerValue(QStringLiteral("kept")), QByteArray("v"), 10000);
        const QStringList around
                = QDir(m_home->path(m_a.name)).entryList(QDir::AllEntries | QDir::Hidden);

        const QByteArray huge(IncomingValue::maxValueBytes + 1, 'x');
        QByteArray binary;
        for (int i = 0; i < 256; ++i)
            binary += char(i);
        // Through the broker, twice each: refused keys stay out, each refusal is logged once; an
        // empty retained value (a deletion) deletes nothing here.
        const QList<std::pair<QString, QByteArray>> refused{
                {".hidden", "v"}, {"..", "v"}, {"kept", {}}};
        publish(refused + refused + decltype(refused){{"binary", binary}});
        // Straight in, as a broker that breaks the topic rules (or, without local-broker's message
        // size limit, takes anything) could send them.
        const QByteArray prefix = "vorn/alice/kv/";
        m_a.bridge->handleBrokerMessage(prefix + "huge", huge);
        m_a.bridge->handleBrokerMessage(prefix + "huge", huge);
        for (const QByteArray &topic :
             {prefix + "../x", prefix + "../../escaped", prefix + "a/b",
              prefix + QByteArray("n\0ul", 4), prefix + "\xff\xfe", QByteArray("vorn/alice/kv")}) {
            m_a.bridge->handleBrokerMessage(topic, "evil");
            m_a.bridge->handleBrokerMessage(topic, "evil");
        }
        publish({{"after", "still exchanged"}});

        QTRY_COMPARE_WITH_TIMEOUT(read(m_a, "after"), QByteArray("still exchanged"), 10000);
        QCOMPARE(read(m_a, "binary"), binary);
        QCOMPARE(read(m_a, "kept"), QByteArray("v"));
        QCOMPARE(QDir(m_a.folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 (QStringList{"after", "binary", "kept"}));
        QCOMPARE(QDir(m_home->path(m_a.name)).entryList(QDir::AllEntries | QDir::Hidden), around);
        QVERIFY(!QFileInfo::exists(m_home->path(QStringLiteral("escaped"))));

        // One line per refused key: .hidden, .., huge and the five unsafe straight ones; none for
        // deletions or for a topic outside the user's keys.
        QCOMPARE(logged("refused key"), 8);
        QCOMPARE(logged("refused key \"huge\": larger than 1 MiB"), 1);
        QCOMPARE(logged("refused key \".hidden\""), 1);
        for (const QString &line : g_syncLog.filter(QStringLiteral("refused key")))
            QVERIFY2(!line.contains(QChar(0)) && !line.contains(QLatin1Char('\n')),
                     qPrintable(line));

        // And the exchange goes on in the other direction too.
        writeExternally(m_a.folder, QStringLiteral("mine"), "out");
        QTRY_COMPARE_WITH_TIMEOUT(brokerValue(QStringLiteral("mine")), QByteArray("out"), 10000);
    }

    void secondUserIsFencedOff()
    {
        up(m_a);
        writeExternally(m_a.folder, QStringLiteral("k"), "alice's");
        QTRY_COMPARE_WITH_TIMEOUT(brokerValue(QStringLiteral("k")), QByteArray("alice's"), 10000);

        // Bob can neither read alice's subtree nor write into it: mosquitto grants the subscription
        // and filters what it delivers, so his own marker shows that he was given nothing, and
        // arrives after his write was dealt with, which left alice's value as it was.
        QCOMPARE(delivered(QStringLiteral("bob"), "bob-secret", {"vorn/alice/kv/+", "vorn/alice/#"},
                           "vorn/alice/kv/k"),
                 QByteArrayList());
        QCOMPARE(brokerValue(QStringLiteral("k")), QByteArray("alice's"));

        // A bridge with a wrong password says so, clearly, and keeps nothing half done.
        up(m_b, m_broker->settings(QStringLiteral("vorn-test-B"), user, "wrong"), false);
        QSignalSpy refused(m_b.bridge->connection(), &MqttConnection::connectFailed);
        QVERIFY(refused.wait(10000));
        QCOMPARE(refused.first().at(0).value<MqttConnection::Failure>(),
                 MqttConnection::Failure::NotAuthorised);
        QVERIFY(refused.wait(10000)); // and once, however often it tries again
        QCOMPARE(logged("the broker refused the credentials of alice: not authorised"), 1);
        QVERIFY(!m_b.bridge->isInStep());
    }

    void tls_data()
    {
        QTest::addColumn<QString>("url"); // %1: the MQTT port, WS: the WebSockets port
        QTest::addColumn<QString>("caFile"); // in the certificate folder; empty: the system's CAs
        QTest::addColumn<bool>("connects");

        const std::tuple<const char *, const char *, const char *, bool> rows[] = {
                {"verifies against its CA", "mqtts://localhost:%1", "ca.crt", true},
                {"refuses another CA", "mqtts://localhost:%1", "other.crt", false},
                {"the system's CAs do not know it", "mqtts://localhost:%1", "", false},
                {"refuses a name the certificate lacks", "mqtts://127.0.0.1:%1", "ca.crt", false},
                {"WebSockets, verifies against its CA", "wss://localhost:WS/mqtt", "ca.crt", true},
                {"WebSockets, refuses a name it lacks", "wss://127.0.0.1:WS", "ca.crt", false},
        };
        for (const auto &[name, url, caFile, connects] : rows)
            QTest::newRow(name) << QString::fromUtf8(url) << QString::fromUtf8(caFile) << connects;
    }

    void tls()
    {
        QFETCH(QString, url);
        QFETCH(QString, caFile);
        QFETCH(bool, connects);
        m_broker = std::make_unique<MosquittoBroker>(QHash<QString, QByteArray>{{user, password}},
                                                     m_certificates.path());
        MqttConnection::Settings connection
                = m_broker->settings(QStringLiteral("vorn-test-A"), user, password);
        connection.broker = *BrokerAddress::parse(
                QString(url)
                        .replace(QLatin1String("%1"), QString::number(m_broker->port()))
                        .replace(QLatin1String("WS"), QString::number(m_broker->webSocketPort())));
        connection.caFile = caFile.isEmpty() ? QString() : m_certificates.filePath(caFile);
        up(m_a, connection, connects);
        if (connects) { // in step, with its own end-of-values marker back over TLS
            QCOMPARE(logged("end-of-values marker"), 0);
            return;
        }
        QSignalSpy failed(m_a.bridge->connection(), &MqttConnection::connectFailed);
        QVERIFY(failed.wait(10000));
        // Never a silent fall-back to plain text: it stays offline and says why.
        QVERIFY(!m_a.bridge->isInStep());
        const QString why = failed.first().at(1).toString();
        QCOMPARE(failed.first().at(0).value<MqttConnection::Failure>(),
                 MqttConnection::Failure::Certificate);
        QVERIFY2(why.contains(QLatin1String("certificate")), qPrintable(why));
    }

    void crowdedBroker_data()
    {
        QTest::addColumn<int>("keys"); // offered before Vorn's own, which come last
        QTest::addColumn<int>("valueBytes");
        QTest::addColumn<int>("maxKeys");
        QTest::addColumn<int>("maxKiB");
        QTest::newRow("2,000 keys past the broker's queue, more than the bridge takes")
                << 2000 << 8 << 100 << 32768;
        QTest::newRow("more bytes than the bridge takes") << 12 << 512 * 1024 << 4096 << 4096;
    }

    void crowdedBroker()
    {
        // Whatever else the broker holds, a joining computer gets the keys Vorn reads, and takes no
        // more than its bounds of the rest, saying so once.
        QFETCH(int, keys);
        QFETCH(int, valueBytes);
        QFETCH(int, maxKeys);
        QFETCH(int, maxKiB);
        QList<std::pair<QString, QByteArray>> values;
        for (int i = 0; i < keys; ++i)
            values.append({QStringLiteral("k%1").arg(i), QByteArray(valueBytes, 'a' + i % 26)});
        for (const QString &key : SyncBridge::vornKeys())
            values.append({key, key.toUtf8()});
        // A save per value would take most of the time: this broker saves on its default schedule,
        // and it queues mosquitto's default of 1,000 messages per client, not local-broker's.
        m_broker->kill();
        const QString config = m_broker->folder() + QStringLiteral("/mosquitto.conf");
        QVERIFY(TestHome::writeFile(config,
                                    TestHome::readFile(config)
                                            .replace("autosave_interval 1\n", "")
                                            .replace("max_queued_messages 20000\n", "")));
        QVERIFY(m_broker->start());
        publish(values);
        up(m_a, {}, true, maxKeys, qint64(maxKiB) * 1024);
        for (const QString &key : SyncBridge::vornKeys())
            QCOMPARE(read(m_a, key), key.toUtf8());
        QFileInfoList taken;
        while (taken.size() != QDir(m_a.folder).entryInfoList(QDir::Files).size()) {
            taken = QDir(m_a.folder).entryInfoList(QDir::Files);
            QTest::qWait(300); // until the values stop coming
        }
        qint64 bytes = 0;
        for (const QFileInfo &file : taken)
            bytes += file.size();
        const qsizetype vornKeys = SyncBridge::vornKeys().size();
        QVERIFY2(taken.size() <= maxKeys + vornKeys && bytes <= maxKiB * 1024 + 64,
                 qPrintable(QStringLiteral("took %1 keys, %2 bytes").arg(taken.size()).arg(bytes)));
        QCOMPARE(logged("further new values are refused"), 1);
    }

    void registryConverges()
    {
        // Computers (folder, bridge, store, identity, registry) that announce at the same moment:
        // each read-modify-writes the one value, the broker keeps the last, and the registries put
        // their lost records back until every folder holds every computer.
        const int computers = 5;
        struct Member
        {
            Computer computer;
            FakeKeychain keychain;
            std::unique_ptr<LinuxCloudKeyValueStore> store;
            std::unique_ptr<DeviceIdentity> identity;
            std::unique_ptr<DeviceRegistry> registry;
        };
        std::vector<std::unique_ptr<Member>> members;
        QSet<QString> ids;
        for (int i = 0; i < computers; ++i) {
            auto member = std::make_unique<Member>();
            member->computer = computer(QStringLiteral("m%1").arg(i));
            up(member->computer);
            member->store = std::make_unique<LinuxCloudKeyValueStore>(member->computer.folder);
            member->identity = std::make_unique<DeviceIdentity>(&member->keychain);
            ids.insert(member->identity->currentDeviceID());
            members.push_back(std::move(member));
        }
        for (const auto &member : members) {
            member->registry
                    = std::make_unique<DeviceRegistry>(member->store.get(), member->identity.get(),
                                                       m_home->path(QStringLiteral("backups")));
            member->registry->announce(SyncDeviceType::mac, member->computer.name);
        }
        auto idsIn = [](const QByteArray &value) {
            const QList<QString> keys
                    = RegistryValue::decode(value).value_or(DeviceRegistryMap()).keys();
            return QSet<QString>(keys.cbegin(), keys.cend());
        };
        for (const auto &member : members)
            QTRY_COMPARE_WITH_TIMEOUT(idsIn(read(member->computer, DeviceRegistry::registryKey)),
                                      ids, 20000);
        QCOMPARE(idsIn(brokerValue(DeviceRegistry::registryKey)), ids);
    }
};

QTEST_GUILESS_MAIN(tst_SyncBridge)
#include "tst_syncbridge.moc"
