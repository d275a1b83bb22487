#include "deviceidentity.h"
#include "deviceregistry.h"
#include "fakes/fakecloudstore.h"
#include "fakes/fakekeychain.h"
#include "referencedate.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

class tst_DeviceRegistry : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void currentOthers_data();
    void currentOthers();
    void announceKeepsEveryOtherRecord();
    void undecodableValueIsKeptInABackupBeforeReplacing();
    void externalChangesRefresh();
    void unreadableValueIsLeftUntilItCanBeRead_data();
    void unreadableValueIsLeftUntilItCanBeRead();

private:
    DeviceRegistryMap stored() const;

    std::unique_ptr<QTemporaryDir> m_backups;
    std::unique_ptr<FakeKeychain> m_keychain;
    std::unique_ptr<DeviceIdentity> m_identity;
    std::unique_ptr<FakeCloudStore> m_store;
};

namespace {

DeviceAnnouncement device(const QString &id, const QString &name, double lastSeenAt,
                          SyncDeviceType type = SyncDeviceType::iPhone)
{
    return DeviceAnnouncement{id, type, name, lastSeenAt};
}

QStringList names(const QList<DeviceAnnouncement> &devices)
{
    QStringList result;
    for (const DeviceAnnouncement &d : devices)
        result.append(d.deviceName);
    return result;
}

} // namespace

void tst_DeviceRegistry::init()
{
    m_backups = std::make_unique<QTemporaryDir>();
    m_keychain = std::make_unique<FakeKeychain>();
    m_identity = std::make_unique<DeviceIdentity>(m_keychain.get());
    m_store = std::make_unique<FakeCloudStore>();
}

DeviceRegistryMap tst_DeviceRegistry::stored() const
{
    return RegistryValue::decode(m_store->dataForKey(DeviceRegistry::registryKey).value()).value();
}

void tst_DeviceRegistry::currentOthers_data()
{
    QTest::addColumn<QList<DeviceAnnouncement>>("records"); // stored under their own ids
    QTest::addColumn<QStringList>("expected");

    const double now = 800000000;
    const double cutoff = now - DeviceRegistry::staleAfter;
    QTest::newRow("exactly at the cutoff stays")
            << QList{device("P", "at cutoff", cutoff), device("Q", "too old", cutoff - 1)}
            << QStringList{"at cutoff"};
    QTest::newRow("future is listed")
            << QList{device("P", "future", now + 86400)} << QStringList{"future"};
    QTest::newRow("this device left out")
            << QList{device("SELF", "me", now, SyncDeviceType::mac), device("P", "phone", now)}
            << QStringList{"phone"};
    QTest::newRow("plain order by name")
            << QList{device("1", "beta", now), device("2", "Alpha", now), device("3", "alpha", now)}
            << QStringList{"Alpha", "alpha", "beta"};
}

void tst_DeviceRegistry::currentOthers()
{
    QFETCH(QList<DeviceAnnouncement>, records);
    QFETCH(QStringList, expected);
    DeviceRegistryMap registry;
    for (const DeviceAnnouncement &record : records)
        registry.insert(record.id, record);
    QCOMPARE(names(DeviceRegistry::currentOthers(registry, QStringLiteral("SELF"), 800000000)),
             expected);
}

void tst_DeviceRegistry::announceKeepsEveryOtherRecord()
{
    const double now = ReferenceDate::now();
    const QString id = m_identity->currentDeviceID();
    DeviceRegistryMap initial{
            {"P", device("P", "Phone", now - 60)},
            {"OLD", device("OLD", "Old iPad", now - 40 * 86400, SyncDeviceType::iPad)},
            {"elsewhere", device(id, "Me, misfiled", now - 10, SyncDeviceType::mac)}};
    m_store->setData(RegistryValue::encode(initial).value(), DeviceRegistry::registryKey);

    DeviceRegistry registry(m_store.get(), m_identity.get(), m_backups->path());
    registry.announce(SyncDeviceType::mac, QStringLiteral("Desk"));
    const double first = stored()[id].lastSeenAt;
    registry.announce(SyncDeviceType::mac, QStringLiteral("Desk"));

    const DeviceRegistryMap value = stored();
    QCOMPARE(value.size(), 4); // the three it found, plus this device under its identifier
    QVERIFY(value[id].lastSeenAt >= first);
    QCOMPARE(value["P"], initial["P"]);
    QCOMPARE(value["OLD"], initial["OLD"]);
    QCOMPARE(value["elsewhere"], initial["elsewhere"]);
    QTRY_COMPARE(names(registry.otherDevices()), QStringList{"Phone"});
}

void tst_DeviceRegistry::undecodableValueIsKeptInABackupBeforeReplacing()
{
    const QByteArray junk(
            R"({"P":{"id":"P","deviceType":"Phone","deviceName":"x","lastSeenAt":1}})");
    m_store->setData(junk, DeviceRegistry::registryKey);

    DeviceRegistry registry(m_store.get(), m_identity.get(), m_backups->path());
    QCoreApplication::processEvents();
    QVERIFY(registry.otherDevices().isEmpty());
    QCOMPARE(m_store->dataForKey(DeviceRegistry::registryKey),
             std::optional(junk)); // reading leaves it

    registry.announce(SyncDeviceType::mac, QStringLiteral("Desk"));
    QCOMPARE(stored().keys(), QStringList{m_identity->currentDeviceID()});

    const QDir backups(m_backups->path());
    const QStringList files = backups.entryList({"deviceRegistry.undecodable-*"}, QDir::Files);
    QCOMPARE(files.size(), 1);
    QFile backup(backups.filePath(files.first()));
    QVERIFY(backup.open(QIODevice::ReadOnly));
    QCOMPARE(backup.readAll(), junk);
    QCOMPARE(QFileInfo(backups.filePath(files.first())).permissions() & 0x0077,
             QFileDevice::Permissions());
}

void tst_DeviceRegistry::externalChangesRefresh()
{
    DeviceRegistry registry(m_store.get(), m_identity.get(), m_backups->path());
    registry.announce(SyncDeviceType::mac, QStringLiteral("Desk"));
    QSignalSpy published(&registry, &DeviceRegistry::otherDevicesChanged);
    QTRY_COMPARE(published.count(), 2);

    DeviceRegistryMap withPhone = stored();
    withPhone.insert("P", device("P", "Phone", ReferenceDate::now()));
    m_store->changeExternally(DeviceRegistry::registryKey, RegistryValue::encode(withPhone));
    QTRY_COMPARE(names(registry.otherDevices()), QStringList{"Phone"});

    // A change of another key refreshes too.
    const int before = published.count();
    m_store->changeExternally(QStringLiteral("syncedBlockState"), "{}");
    QTRY_VERIFY(published.count() > before);
    QCOMPARE(names(registry.otherDevices()), QStringList{"Phone"});
}

void tst_DeviceRegistry::unreadableValueIsLeftUntilItCanBeRead_data()
{
    QTest::addColumn<bool>("unreadable"); // else undecodable, with a backup folder that cannot be
    QTest::newRow("cannot be read") << true;
    QTest::newRow("undecodable, no backup possible") << false;
}

void tst_DeviceRegistry::unreadableValueIsLeftUntilItCanBeRead()
{
    QFETCH(bool, unreadable);
    m_store->setData("junk", DeviceRegistry::registryKey);
    if (unreadable)
        m_store->unreadable.insert(DeviceRegistry::registryKey);
    QFile plainFile(m_backups->filePath("file"));
    QVERIFY(plainFile.open(QIODevice::WriteOnly));

    // Neither replaced nor backed up: announcing waits for the value to become readable.
    DeviceRegistry registry(m_store.get(), m_identity.get(),
                            unreadable ? m_backups->path() : plainFile.fileName() + "/backups");
    registry.announce(SyncDeviceType::mac, QStringLiteral("Desk"));
    m_store->unreadable.clear();
    QCOMPARE(m_store->dataForKey(DeviceRegistry::registryKey), QByteArray("junk"));
    QCOMPARE(QDir(m_backups->path()).entryList(QDir::Files), QStringList{"file"});

    // The next change makes it readable: this computer joins the device that wrote it.
    const DeviceRegistryMap withPhone{{"P", device("P", "Phone", ReferenceDate::now())}};
    m_store->changeExternally(DeviceRegistry::registryKey, RegistryValue::encode(withPhone));
    QCOMPARE(stored().size(), 2);
    QVERIFY(stored().contains(m_identity->currentDeviceID()));
    QTRY_COMPARE(names(registry.otherDevices()), QStringList{"Phone"});
}

QTEST_GUILESS_MAIN(tst_DeviceRegistry)
#include "tst_deviceregistry.moc"
