#include "deviceidentity.h"
#include "fakes/fakekeychain.h"

#include <QRegularExpression>
#include <QTest>

#include <thread>

namespace {

const QRegularExpression
        uuidForm(QStringLiteral("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$"));

std::optional<QByteArray> storedItem(FakeKeychain &keychain)
{
    return keychain.find(DeviceIdentity::service, DeviceIdentity::account);
}

} // namespace

class tst_DeviceIdentity : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void identifier_data()
    {
        QTest::addColumn<QVariant>("stored"); // a QByteArray; invalid: no item
        QTest::addColumn<bool>("kept");

        QTest::newRow("fresh account") << QVariant() << false;
        QTest::newRow("short word, not a UUID") << QVariant(QByteArray("desk")) << true;
        QTest::newRow("lower-case UUID kept as is")
                << QVariant(QByteArray("0f8fad5b-d9cb-469f-a165-70867728950e")) << true;
        QTest::newRow("empty blob") << QVariant(QByteArray("")) << true;
        QTest::newRow("invalid UTF-8") << QVariant(QByteArray("\xff")) << false;
        QTest::newRow("truncated UTF-8 sequence") << QVariant(QByteArray("ab\xe2\x82")) << false;
    }

    void identifier()
    {
        QFETCH(QVariant, stored);
        QFETCH(bool, kept);
        FakeKeychain keychain;
        if (stored.isValid())
            keychain.add(DeviceIdentity::service, DeviceIdentity::account, stored.toByteArray());

        DeviceIdentity identity(&keychain);
        const QString id = identity.currentDeviceID();
        if (kept)
            QCOMPARE(id, QString::fromUtf8(stored.toByteArray()));
        else
            QVERIFY2(uuidForm.match(id).hasMatch(), qPrintable(id));
        QCOMPARE(storedItem(keychain), id.toUtf8());
        QCOMPARE(identity.currentDeviceID(), id);
        // Given by the keychain once, it is not asked for again.
        const int finds = keychain.finds;
        QCOMPARE(identity.currentDeviceID(), id);
        QCOMPARE(keychain.finds, finds);
        // A restart: a new identity finds the same item.
        QCOMPARE(DeviceIdentity(&keychain).currentDeviceID(), id);
    }

    void refusingKeychainStillGivesOneIdentifierPerRun()
    {
        FakeKeychain refusing;
        refusing.refusing = true;
        DeviceIdentity identity(&refusing);
        const QString first = identity.currentDeviceID();
        QVERIFY(uuidForm.match(first).hasMatch());
        QCOMPARE(identity.currentDeviceID(), first);
        // Each call tries to store it again, in case the keychain takes it this time.
        refusing.refusing = false;
        QCOMPARE(identity.currentDeviceID(), first);
        QCOMPARE(storedItem(refusing), first.toUtf8());
    }

    void concurrentFirstCallsAgree()
    {
        FakeKeychain keychain;
        DeviceIdentity identity(&keychain);
        QString results[6];
        std::vector<std::thread> calls;
        for (QString &result : results)
            calls.emplace_back([&identity, &result] { result = identity.currentDeviceID(); });
        for (std::thread &call : calls)
            call.join();
        QVERIFY(uuidForm.match(results[0]).hasMatch());
        for (const QString &result : results)
            QCOMPARE(result, results[0]);
        QCOMPARE(storedItem(keychain), results[0].toUtf8());
    }
};

QTEST_GUILESS_MAIN(tst_DeviceIdentity)
#include "tst_deviceidentity.moc"
