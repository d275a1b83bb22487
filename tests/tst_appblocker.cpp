#include "appblocker.h"
#include "blocklist.h"
#include "cloudkeyvaluestore.h"
#include "deviceidentity.h"
#include "deviceregistry.h"
#include "keychain.h"
#include "platform.h"
#include "testhome.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

class tst_AppBlocker : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void firstStartAnnouncesThisComputer();
    void startUp_data();
    void startUp();
    void followsThePhoneToolInAnotherProcess();
    void everyExternalChangeAppliesAgain();

private:
    QString ownID() { return DeviceIdentity(m_services->lend().keychain).currentDeviceID(); }
    std::optional<bool> storedIsBlocking() const;
    void runPhone(const QStringList &args);
    void writeToCloud(const QString &key, const QByteArray &bytes);

    TestHome m_home; // before any platform service is touched
    std::unique_ptr<Platform::Services> m_services = std::make_unique<Platform::Services>();
    BlockList m_blockList{m_services->lend().userDefaults};
};

void tst_AppBlocker::initTestCase()
{
    m_services->lend().keychain->remove(DeviceIdentity::service, DeviceIdentity::account);
}

void tst_AppBlocker::init()
{
    for (const QString &key : {AppBlocker::syncKey, DeviceRegistry::registryKey})
        QFile::remove(m_home.cloudFolder() + QLatin1Char('/') + key);
    QFile::remove(m_home.defaultsFile());
    QTest::qWait(20); // let the store's notices for the removals pass before the next test
}

std::optional<bool> tst_AppBlocker::storedIsBlocking() const
{
    const QJsonValue value = QJsonDocument::fromJson(TestHome::readFile(m_home.defaultsFile()))
                                     .object()
                                     .value(AppBlocker::isBlockingKey);
    return value.isBool() ? std::optional(value.toBool()) : std::nullopt;
}

void tst_AppBlocker::runPhone(const QStringList &args)
{
    const TestHome::PhoneResult phone = m_home.runPhone(args);
    QVERIFY2(phone.exitCode == 0, phone.err.constData());
}

// Writes a key as another program would and waits until the store has raised its notice, so
// that the notice cannot reach a blocker constructed afterwards.
void tst_AppBlocker::writeToCloud(const QString &key, const QByteArray &bytes)
{
    QSignalSpy noticed(m_services->lend().cloudStore, &CloudKeyValueStore::didChangeExternally);
    QVERIFY(TestHome::writeFile(m_home.cloudFolder() + '/' + key, bytes));
    QTRY_VERIFY(noticed.count() > 0);
}

void tst_AppBlocker::firstStartAnnouncesThisComputer()
{
    DeviceIdentity identity(m_services->lend().keychain);
    QVERIFY(!identity.loadStoredDeviceID());
    AppBlocker blocker(m_services->lend(), &m_blockList);
    QVERIFY(!blocker.isBlocking());
    // The identifier exists once the constructor has returned, and the registry names it.
    const std::optional<QString> id = identity.loadStoredDeviceID();
    QVERIFY(id);
    const std::optional<QByteArray> registry
            = m_services->lend().cloudStore->dataForKey(DeviceRegistry::registryKey);
    QVERIFY(registry);
    const DeviceRegistryMap map = RegistryValue::decode(*registry).value();
    QCOMPARE(map.keys(), QStringList{*id});
    QCOMPARE(map.first().deviceType, SyncDeviceType::mac);
    QCOMPARE(map.first().deviceName, AppBlocker::deviceName(m_services->lend().hostName));
    QVERIFY(!map.first().deviceName.isEmpty());
    QVERIFY(!storedIsBlocking()); // nothing applied, nothing written
}

void tst_AppBlocker::startUp_data()
{
    QTest::addColumn<QByteArray>("defaults"); // empty: none stored
    QTest::addColumn<QByteArray>("record"); // %ME% stands for this computer; empty: none
    QTest::addColumn<bool>("applied");
    QTest::addColumn<bool>("expected");

    const QByteArray on(R"({"isBlocking":true,"targetDeviceIDs":[%T%],"updatedAt":1})");
    const QByteArray off(R"({"isBlocking":false,"targetDeviceIDs":[%T%],"updatedAt":1})");
    const auto targeting = [](QByteArray record, const char *targets) {
        return record.replace("%T%", targets);
    };
    const QByteArray storedOn(R"({"isBlocking":true})");

    QTest::newRow("nothing stored") << QByteArray() << QByteArray() << false << false;
    QTest::newRow("stored on, no record") << storedOn << QByteArray() << false << true;
    QTest::newRow("stored as number 1")
            << QByteArray(R"({"isBlocking":1})") << QByteArray() << false << true;
    QTest::newRow("names this: on")
            << QByteArray() << targeting(on, R"("OTHER","%ME%")") << true << true;
    QTest::newRow("names this: off") << storedOn << targeting(off, R"("%ME%")") << true << false;
    QTest::newRow("names another only")
            << QByteArray() << targeting(on, R"("OTHER")") << false << false;
    QTest::newRow("dropped from targets keeps blocking")
            << storedOn << targeting(off, R"("OTHER")") << false << true;
    QTest::newRow("no targets") << QByteArray() << targeting(on, "") << false << false;
    QTest::newRow("lower-cased identifier")
            << QByteArray() << targeting(on, R"("%me%")") << false << false;
    QTest::newRow("null targets")
            << QByteArray()
            << QByteArray(R"({"isBlocking":true,"targetDeviceIDs":null,"updatedAt":1})") << false
            << false;
    QTest::newRow("not JSON") << storedOn << QByteArray("{\"isBlocking\":tr") << false << true;
}

void tst_AppBlocker::startUp()
{
    QFETCH(QByteArray, defaults);
    QFETCH(QByteArray, record);
    QFETCH(bool, applied);
    QFETCH(bool, expected);

    if (!defaults.isEmpty())
        QVERIFY(TestHome::writeFile(m_home.defaultsFile(), defaults));
    if (!record.isEmpty()) {
        record.replace("%ME%", ownID().toUtf8()).replace("%me%", ownID().toLower().toUtf8());
        writeToCloud(AppBlocker::syncKey, record);
    }
    const std::optional<bool> storedBefore = storedIsBlocking();
    const bool restored = storedBefore.value_or(false) || defaults.contains("1");

    AppBlocker blocker(m_services->lend(), &m_blockList);
    QSignalSpy changed(&blocker, &AppBlocker::isBlockingChanged);
    // The constructor only restores; a record that names this computer is applied later, queued.
    QCOMPARE(blocker.isBlocking(), restored);
    QCOMPARE(changed.count(), 0);

    if (applied) {
        QTRY_COMPARE(changed.count(), 1);
        QCOMPARE(blocker.isBlocking(), expected);
        QCOMPARE(storedIsBlocking(), std::optional(expected));
    } else {
        QTest::qWait(100);
        QCOMPARE(changed.count(), 0);
        QCOMPARE(blocker.isBlocking(), expected);
        QCOMPARE(storedIsBlocking(), storedBefore);
    }
}

void tst_AppBlocker::followsThePhoneToolInAnotherProcess()
{
    AppBlocker blocker(m_services->lend(), &m_blockList);
    QSignalSpy changed(&blocker, &AppBlocker::isBlockingChanged);
    QVERIFY(!blocker.isBlocking());

    runPhone({"block", "on", "--device", ownID()});
    QTRY_VERIFY(blocker.isBlocking());
    QCOMPARE(storedIsBlocking(), std::optional(true));

    // The phone stops naming this computer: it keeps blocking.
    runPhone({"block", "off", "--device", "SOME-OTHER-DEVICE", "--force"});
    QTest::qWait(200);
    QVERIFY(blocker.isBlocking());

    // Without --device the tool targets the macs in the registry, which holds this computer.
    runPhone({"block", "off"});
    QTRY_VERIFY(!blocker.isBlocking());
    QCOMPARE(storedIsBlocking(), std::optional(false));
}

void tst_AppBlocker::everyExternalChangeAppliesAgain()
{
    writeToCloud(AppBlocker::syncKey,
                 R"({"isBlocking":true,"targetDeviceIDs":[")" + ownID().toUtf8()
                         + R"("],"updatedAt":1})");
    AppBlocker blocker(m_services->lend(), &m_blockList);
    QSignalSpy changed(&blocker, &AppBlocker::isBlockingChanged);
    QTRY_COMPARE(changed.count(), 1);

    // Another device rewrites the registry: the same record is applied again, and observers hear
    // the same value again.
    const QByteArray registry
            = m_services->lend().cloudStore->dataForKey(DeviceRegistry::registryKey).value();
    QVERIFY(TestHome::writeFile(m_home.cloudFolder() + "/deviceRegistry", registry));
    QTRY_COMPARE(changed.count(), 2);
    QVERIFY(blocker.isBlocking());
}

QTEST_GUILESS_MAIN(tst_AppBlocker)
#include "tst_appblocker.moc"
