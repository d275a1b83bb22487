#include "deviceidentity.h"
#include "keychain_linux.h"
#include "testhome.h"

#include <QRegularExpression>
#include <QTest>

#include <thread>

namespace {

// A keychain that takes nothing: every write is lost, every read finds nothing. Stands in for a
// locked or broken secret store, which cannot be arranged reliably on a test machine.
class RefusingKeychain : public Keychain
{
public:
    std::optional<QByteArray> find(const QString &, const QString &) override { return {}; }
    void remove(const QString &, const QString &) override { }
    void add(const QString &, const QString &, const QByteArray &) override { ++adds; }
    int adds = 0;
};

const QRegularExpression
        uuidForm(QStringLiteral("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$"));

} // namespace

class tst_DeviceIdentity : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void freshAccountMakesOneIdentifier();
    void storedItem_data();
    void storedItem();
    void refusingKeychainStillGivesOneIdentifierPerRun();
    void concurrentFirstCallsAgree();

private:
    TestHome m_home;
    std::unique_ptr<LinuxKeychain> m_keychain;
};

void tst_DeviceIdentity::init()
{
    m_keychain = std::make_unique<LinuxKeychain>(m_home.path(QStringLiteral("keychain")));
    m_keychain->remove(DeviceIdentity::service, DeviceIdentity::account);
}

void tst_DeviceIdentity::freshAccountMakesOneIdentifier()
{
    DeviceIdentity identity(m_keychain.get());
    QVERIFY(!identity.loadStoredDeviceID());
    const QString id = identity.currentDeviceID();
    QVERIFY2(uuidForm.match(id).hasMatch(), qPrintable(id));
    QCOMPARE(identity.currentDeviceID(), id);

    // A restart: a new identity object on a new keychain object finds the same item.
    LinuxKeychain again(m_home.path(QStringLiteral("keychain")));
    DeviceIdentity restarted(&again);
    QCOMPARE(restarted.currentDeviceID(), id);
    QCOMPARE(m_keychain->find(DeviceIdentity::service, DeviceIdentity::account), id.toUtf8());
}

void tst_DeviceIdentity::storedItem_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<bool>("kept");

    QTest::newRow("short word, not a UUID") << QByteArray("desk") << true;
    QTest::newRow("lower-case UUID kept as is")
            << QByteArray("0f8fad5b-d9cb-469f-a165-70867728950e") << true;
    QTest::newRow("empty blob") << QByteArray("") << true;
    QTest::newRow("invalid UTF-8") << QByteArray("\xff") << false;
    QTest::newRow("truncated UTF-8 sequence") << QByteArray("ab\xe2\x82") << false;
}

void tst_DeviceIdentity::storedItem()
{
    QFETCH(QByteArray, stored);
    QFETCH(bool, kept);
    m_keychain->add(DeviceIdentity::service, DeviceIdentity::account, stored);
    DeviceIdentity identity(m_keychain.get());

    const QString id = identity.currentDeviceID();
    if (kept) {
        QCOMPARE(id, QString::fromUtf8(stored));
        QCOMPARE(m_keychain->find(DeviceIdentity::service, DeviceIdentity::account), stored);
    } else {
        QVERIFY2(uuidForm.match(id).hasMatch(), qPrintable(id));
        QCOMPARE(m_keychain->find(DeviceIdentity::service, DeviceIdentity::account), id.toUtf8());
    }
}

void tst_DeviceIdentity::refusingKeychainStillGivesOneIdentifierPerRun()
{
    RefusingKeychain refusing;
    DeviceIdentity identity(&refusing);
    const QString first = identity.currentDeviceID();
    QVERIFY(uuidForm.match(first).hasMatch());
    QCOMPARE(identity.currentDeviceID(), first);
    QCOMPARE(identity.currentDeviceID(), first);
    // Each call tries to store it again, in case the keychain takes it this time.
    QCOMPARE(refusing.adds, 3);
}

void tst_DeviceIdentity::concurrentFirstCallsAgree()
{
    DeviceIdentity identity(m_keychain.get());
    QString results[6];
    std::vector<std::thread> calls;
    for (QString &result : results)
        calls.emplace_back([&identity, &result] { result = identity.currentDeviceID(); });
    for (std::thread &call : calls)
        call.join();
    const QString first = results[0];
    QVERIFY(uuidForm.match(first).hasMatch());
    for (const QString &result : results)
        QCOMPARE(result, first);
    QCOMPARE(identity.loadStoredDeviceID(), std::optional(first));
}

QTEST_GUILESS_MAIN(tst_DeviceIdentity)
#include "tst_deviceidentity.moc"
