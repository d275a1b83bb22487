#include "deviceidentity.h"
#include "deviceregistry.h"
#include "fakes/fakecloudstore.h"
#include "fakes/fakekeychain.h"
#include "referencedate.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <thread>

namespace {

DeviceAnnouncement device(const QString &id, const QString &name, double lastSeenAt,
                          SyncDeviceType type = SyncDeviceType::iPhone)
{
    return DeviceAnnouncement{id, type, name, lastSeenAt, {}};
}

QStringList names(const QList<DeviceAnnouncement> &devices)
{
    QStringList result;
    for (const DeviceAnnouncement &d : devices)
        result.append(d.deviceName);
    return result;
}

} // namespace

class tst_DeviceRegistry : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        m_backups = std::make_unique<QTemporaryDir>();
        m_keychain = std::make_unique<FakeKeychain>();
        m_identity = std::make_unique<DeviceIdentity>(m_keychain.get());
        m_store = std::make_unique<FakeCloudStore>();
    }
    void currentOthers_data()
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
                << QList{device("1", "beta", now), device("2", "Alpha", now),
                         device("3", "alpha", now)}
                << QStringList{"Alpha", "alpha", "beta"};
    }
    void currentOthers()
    {
        QFETCH(QList<DeviceAnnouncement>, records);
        QFETCH(QStringList, expected);
        DeviceRegistryMap registry;
        for (const DeviceAnnouncement &record : records)
            registry.insert(record.id, record);
        QCOMPARE(names(DeviceRegistry::currentOthers(registry, QStringLiteral("SELF"), 800000000)),
                 expected);
    }
    void announceKeepsEveryOtherRecord()
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
        const int finds = m_keychain->finds;
        registry.announce(SyncDeviceType::mac, QStringLiteral("Desk"));
        QVERIFY(m_keychain->finds - finds <= 1); // each ask is a round trip to the secret service

        // The three it found, plus this device once under its identifier.
        DeviceRegistryMap expected = initial;
        expected.insert(id, stored().value(id));
        QCOMPARE(stored(), expected);
        QCOMPARE(expected[id].deviceName, QStringLiteral("Desk"));
        QTRY_COMPARE(names(registry.otherDevices()), QStringList{"Phone"});
    }
    void changeDuringADeferredAnnounce()
    {
        // The value cannot be read as this computer announces, so the announcement waits; the
        // change that makes it readable lands on the notifier thread right after announce's read.
        m_store->setData("{}", DeviceRegistry::registryKey);
        m_store->unreadable.insert(DeviceRegistry::registryKey);
        DeviceRegistry registry(m_store.get(), m_identity.get(), m_backups->path());
        const QByteArray withPhone
                = RegistryValue::encode({{"P", device("P", "Phone", ReferenceDate::now())}})
                          .value();
        std::atomic<bool> landed = false;
        m_store->afterRead = [&](const QString &key) {
            if (key == DeviceRegistry::registryKey && !landed.exchange(true))
                std::thread([&] { m_store->changeExternally(key, withPhone); }).join();
        };
        registry.announce(SyncDeviceType::mac, QStringLiteral("Desk"));
        QTRY_COMPARE(stored().keys(), (QStringList{m_identity->currentDeviceID(), "P"}));
    }
    void announceOverABadValue_data()
    {
        QTest::addColumn<bool>("readable");
        QTest::addColumn<bool>("backupPossible");
        QTest::newRow("undecodable: backed up, then replaced") << true << true;
        QTest::newRow("undecodable, no backup possible: left") << true << false;
        QTest::newRow("cannot be read: left") << false << true;
    }
    void announceOverABadValue()
    {
        QFETCH(bool, readable);
        QFETCH(bool, backupPossible);
        const QByteArray junk(
                R"({"P":{"id":"P","deviceType":"Phone","deviceName":"x","lastSeenAt":1}})");
        m_store->setData(junk, DeviceRegistry::registryKey);
        if (!readable)
            m_store->unreadable.insert(DeviceRegistry::registryKey);
        QFile plainFile(m_backups->filePath("file"));
        QVERIFY(plainFile.open(QIODevice::WriteOnly));
        DeviceRegistry registry(m_store.get(), m_identity.get(),
                                backupPossible ? m_backups->path()
                                               : plainFile.fileName() + "/backups");
        QCoreApplication::processEvents();
        QVERIFY(registry.otherDevices().isEmpty());

        registry.announce(SyncDeviceType::mac, QStringLiteral("Desk"));
        m_store->unreadable.clear();
        const QFileInfoList backups
                = QDir(m_backups->path()).entryInfoList({"deviceRegistry.undecodable-*"});
        if (readable && backupPossible) {
            QCOMPARE(stored().keys(), QStringList{m_identity->currentDeviceID()});
            QCOMPARE(backups.size(), 1);
            QFile backup(backups.first().filePath());
            QVERIFY(backup.open(QIODevice::ReadOnly));
            QCOMPARE(backup.readAll(), junk);
            QCOMPARE(backup.permissions() & 0x0077, QFileDevice::Permissions());
            return;
        }
        // Neither replaced nor backed up: announcing waits for the value to become readable.
        QCOMPARE(m_store->dataForKey(DeviceRegistry::registryKey), std::optional(junk));
        QVERIFY(backups.isEmpty());
        // The next change makes it readable: this computer joins the device that wrote it.
        const DeviceRegistryMap withPhone{{"P", device("P", "Phone", ReferenceDate::now())}};
        m_store->changeExternally(DeviceRegistry::registryKey, RegistryValue::encode(withPhone));
        QTRY_COMPARE(stored().keys(), (QStringList{m_identity->currentDeviceID(), "P"}));
        QTRY_COMPARE(names(registry.otherDevices()), QStringList{"Phone"});
    }
    void convergence_data()
    {
        // What another device (through the transport) leaves in the store after this one announced.
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("reannounces");

        QTest::newRow("its own registry, without this computer") << "lacking" << true;
        QTest::newRow("this computer's record, older than announced") << "older" << true;
        QTest::newRow("this computer's record, misfiled under another name") << "misfiled" << true;
        QTest::newRow("this computer's record as announced, and one more") << "current" << false;
        QTest::newRow("an undecodable value") << "undecodable" << false;
        QTest::newRow("no value at all") << "deleted" << false;
    }
    void convergence()
    {
        QFETCH(QString, change);
        QFETCH(bool, reannounces);
        DeviceRegistry registry(m_store.get(), m_identity.get(), m_backups->path());
        registry.announce(SyncDeviceType::mac, QStringLiteral("Desk"));
        const QString id = m_identity->currentDeviceID();
        const DeviceAnnouncement mine = stored().value(id);
        QSignalSpy published(&registry, &DeviceRegistry::otherDevicesChanged);
        QTRY_COMPARE(published.count(), 2);

        const DeviceAnnouncement phone = device("P", "Phone", ReferenceDate::now());
        DeviceRegistryMap theirs{{"P", phone}};
        if (change == QLatin1String("older"))
            theirs.insert(id, {id, mine.deviceType, mine.deviceName, mine.lastSeenAt - 5, {}});
        if (change == QLatin1String("misfiled"))
            theirs.insert(QStringLiteral("not-my-id"), mine);
        if (change == QLatin1String("current"))
            theirs.insert(id, mine);
        // Written as another device does: the registry's store sees a foreign change.
        if (change == QLatin1String("undecodable"))
            m_store->changeExternally(DeviceRegistry::registryKey, "{\"P\": 1}");
        else if (change == QLatin1String("deleted"))
            m_store->changeExternally(DeviceRegistry::registryKey, std::nullopt);
        else
            m_store->changeExternally(DeviceRegistry::registryKey, RegistryValue::encode(theirs));

        // The notice's refresh is posted before any re-announcement is scheduled.
        QTRY_COMPARE(published.count(), 3);
        QCoreApplication::processEvents();
        if (!reannounces) {
            QCOMPARE(registry.reannounceDueInMs(), -1);
            return;
        }
        // A coarse timer may be set up to 5 % later than asked.
        QVERIFY(registry.reannounceDueInMs() <= DeviceRegistry::reannounceMaxDelayMs * 105 / 100);
        // After the delay: this computer's record is back, merged into what the other device wrote.
        QTRY_VERIFY(stored().value(id).lastSeenAt > mine.lastSeenAt);
        QCOMPARE(stored().value("P"), phone);
        QCOMPARE(stored().value(id).deviceName, QStringLiteral("Desk"));
    }
    void reannouncingIsBounded()
    {
        DeviceRegistry registry(m_store.get(), m_identity.get(), m_backups->path());
        registry.announce(SyncDeviceType::mac, QStringLiteral("Desk"));
        const QString id = m_identity->currentDeviceID();
        const QByteArray withoutMe
                = RegistryValue::encode({{"P", device("P", "Phone", ReferenceDate::now())}})
                          .value();
        // Another device that keeps dropping this computer's record gets it back a few times a
        // minute, then no more often.
        for (int i = 0; i < DeviceRegistry::maxReannouncesPerMinute; ++i) {
            m_store->changeExternally(DeviceRegistry::registryKey, withoutMe);
            QTRY_VERIFY(stored().contains(id));
        }
        m_store->changeExternally(DeviceRegistry::registryKey, withoutMe);
        QTRY_VERIFY2(registry.reannounceDueInMs() > 30000,
                     qPrintable(QString::number(registry.reannounceDueInMs())));
        QVERIFY(!stored().contains(id));
    }

private:
    DeviceRegistryMap stored() const
    {
        return RegistryValue::decode(m_store->dataForKey(DeviceRegistry::registryKey).value())
                .value();
    }

    std::unique_ptr<QTemporaryDir> m_backups;
    std::unique_ptr<FakeKeychain> m_keychain;
    std::unique_ptr<DeviceIdentity> m_identity;
    std::unique_ptr<FakeCloudStore> m_store;
};

QTEST_GUILESS_MAIN(tst_DeviceRegistry)
#include "tst_deviceregistry.moc"
