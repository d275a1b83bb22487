#include "appblocker.h"
#include "blocklist.h"
#include "deviceidentity.h"
#include "deviceregistry.h"
#include "fakes/fakecloudstore.h"
#include "fakes/fakekeychain.h"
#include "fakes/fakeuserdefaults.h"
#include "fakes/fakeworkspace.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

// The blocker's rules over fakes at every seam; the real store, keychain and processes are the
// platform suites' and tst_enforcement's business.
class tst_AppBlocker : public QObject
{
    Q_OBJECT

    std::unique_ptr<AppBlocker> makeBlocker()
    {
        const PlatformServices services{m_store.get(),     m_defaults.get(), m_keychain.get(),
                                        m_workspace.get(), nullptr,          QStringLiteral("Desk"),
                                        m_state->path()};
        return std::make_unique<AppBlocker>(services, m_blockList.get());
    }
    QString ownID() { return DeviceIdentity(m_keychain.get()).currentDeviceID(); }
    static QByteArray record(bool blocking, const QString &targets)
    {
        return QStringLiteral(R"({"isBlocking":%1,"targetDeviceIDs":[%2],"updatedAt":1})")
                .arg(blocking ? "true" : "false", targets)
                .toUtf8();
    }

    std::unique_ptr<FakeCloudStore> m_store;
    std::unique_ptr<FakeUserDefaults> m_defaults;
    std::unique_ptr<FakeKeychain> m_keychain;
    std::unique_ptr<FakeWorkspace> m_workspace;
    std::unique_ptr<BlockList> m_blockList;
    std::unique_ptr<QTemporaryDir> m_state;

private Q_SLOTS:
    void init()
    {
        m_store = std::make_unique<FakeCloudStore>();
        m_defaults = std::make_unique<FakeUserDefaults>();
        m_keychain = std::make_unique<FakeKeychain>();
        m_workspace = std::make_unique<FakeWorkspace>();
        m_blockList = std::make_unique<BlockList>(m_defaults.get());
        m_state = std::make_unique<QTemporaryDir>();
    }

    void firstStartAnnouncesThisComputer()
    {
        auto blocker = makeBlocker();
        // The identifier exists once the constructor has returned, and the registry names it.
        const std::optional<QString> id = DeviceIdentity(m_keychain.get()).loadStoredDeviceID();
        QVERIFY(id);
        const DeviceRegistryMap map
                = RegistryValue::decode(m_store->dataForKey(DeviceRegistry::registryKey).value())
                          .value();
        QCOMPARE(map.keys(), QStringList{*id});
        QCOMPARE(
                map.first(),
                (DeviceAnnouncement{*id, SyncDeviceType::mac, "Desk", map.first().lastSeenAt, {}}));
        QCOMPARE(AppBlocker::deviceName(QString()), QStringLiteral("Mac"));
    }

    void startUp_data()
    {
        QTest::addColumn<int>("stored"); // -1: nothing stored, else the stored bool
        QTest::addColumn<QByteArray>("published"); // %ME% this computer's identifier; empty: none
        QTest::addColumn<bool>("applied");
        QTest::addColumn<bool>("expected");

        QTest::newRow("nothing stored") << -1 << QByteArray() << false << false;
        QTest::newRow("stored on, no record") << 1 << QByteArray() << false << true;
        QTest::newRow("names this: on") << -1 << record(true, R"("OTHER","%ME%")") << true << true;
        QTest::newRow("names this: off") << 1 << record(false, R"("%ME%")") << true << false;
        QTest::newRow("dropped from targets keeps blocking")
                << 1 << record(false, R"("OTHER")") << false << true;
        QTest::newRow("no targets") << -1 << record(true, "") << false << false;
        QTest::newRow("lower-cased id") << -1 << record(true, R"("%me%")") << false << false;
        QTest::newRow("not JSON") << 1 << QByteArray(R"({"isBlocking":tr)") << false << true;
    }

    void startUp()
    {
        QFETCH(int, stored);
        QFETCH(QByteArray, published);
        QFETCH(bool, applied);
        QFETCH(bool, expected);

        if (stored >= 0)
            m_defaults->setBool(stored == 1, AppBlocker::isBlockingKey);
        if (!published.isEmpty()) {
            const QByteArray id = ownID().toUtf8();
            m_store->setData(published.replace("%ME%", id).replace("%me%", id.toLower()),
                             AppBlocker::syncKey);
        }

        auto blocker = makeBlocker();
        QSignalSpy changed(blocker.get(), &AppBlocker::isBlockingChanged);
        // The constructor only restores; a record that names this computer is applied later,
        // queued.
        QCOMPARE(blocker->isBlocking(), stored == 1);
        QCoreApplication::processEvents();
        QCOMPARE(changed.count(), applied ? 1 : 0);
        QCOMPARE(blocker->isBlocking(), expected);
        if (applied)
            QCOMPARE(m_defaults->boolForKey(AppBlocker::isBlockingKey), expected);
        else
            QCOMPARE(m_defaults->values.contains(AppBlocker::isBlockingKey), stored >= 0);
    }

    void everyExternalChangeAppliesAgain()
    {
        auto blocker = makeBlocker();
        QSignalSpy changed(blocker.get(), &AppBlocker::isBlockingChanged);
        m_store->changeExternally(AppBlocker::syncKey, record(true, '"' + ownID() + '"'));
        QTRY_COMPARE(changed.count(), 1);
        QVERIFY(blocker->isBlocking());

        // Another device rewrites the registry: the same record is applied again, and observers
        // hear the same value again.
        m_store->changeExternally(DeviceRegistry::registryKey,
                                  m_store->dataForKey(DeviceRegistry::registryKey));
        QTRY_COMPARE(changed.count(), 2);
        QVERIFY(blocker->isBlocking());
    }

    void enforcement_data()
    {
        QTest::addColumn<QStringList>("blocked");
        QTest::addColumn<bool>("on");
        QTest::addColumn<QStringList>("running"); // before the state is applied
        QTest::addColumn<QStringList>("launched"); // afterwards
        QTest::addColumn<QStringList>("terminated");

        QTest::newRow("off: nothing closed") << QStringList{"a"} << false << QStringList{"a"}
                                             << QStringList{"a"} << QStringList{};
        QTest::newRow("on: running and launched blocked ones")
                << QStringList{"a", "b"} << true << QStringList{"a", "x"}
                << QStringList{"b", "y", "a"} << QStringList{"a", "b", "a"};
        QTest::newRow("case differs: not blocked")
                << QStringList{"Org.A"} << true << QStringList{"org.a"} << QStringList{"ORG.A"}
                << QStringList{};
        QTest::newRow("unidentified: never closed")
                << QStringList{""} << true << QStringList{""} << QStringList{""} << QStringList{};
    }

    void enforcement()
    {
        QFETCH(QStringList, blocked);
        QFETCH(bool, on);
        QFETCH(QStringList, running);
        QFETCH(QStringList, launched);
        QFETCH(QStringList, terminated);

        m_blockList->setBlockedBundleIDs(QSet<QString>(blocked.cbegin(), blocked.cend()));
        for (const QString &id : running)
            m_workspace->running.append(RunningApplication{m_workspace->running.size() + 1, 1, id});
        auto blocker = makeBlocker();
        QCOMPARE(m_workspace->watched, m_blockList->blockedBundleIDs());

        blocker->applySyncedState(SyncedBlockState{on, {}, 0, {}, {}});
        for (const QString &id : launched)
            m_workspace->launch(id);
        QCOMPARE(m_workspace->terminated, terminated);

        // The list is read afresh at each launch, and the workspace watches what it names.
        m_blockList->toggle(QStringLiteral("late"));
        QCOMPARE(m_workspace->watched, m_blockList->blockedBundleIDs());
        m_workspace->launch(QStringLiteral("late"));
        QCOMPARE(m_workspace->terminated.contains(QStringLiteral("late")), on);
    }
};

QTEST_GUILESS_MAIN(tst_AppBlocker)
#include "tst_appblocker.moc"
