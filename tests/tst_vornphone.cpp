#include "deviceannouncement.h"
#include "referencedate.h"
#include "syncedblockstate.h"
#include "testhome.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

// vorn-phone is run as the user would run it: a separate process on the same cloud folder.
class tst_VornPhone : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void badUsage_data();
    void badUsage();
    void rawBytesRoundTrip();
    void devicesAsJson();
    void printedDataIsEscaped();
    void blockTargets_data();
    void blockTargets();
    void blockWithNothingToTarget();
    void namedDevicesAreChecked_data();
    void namedDevicesAreChecked();
    void undecodableValuesAreReported();
    void unusableStoreFails();

private:
    TestHome::PhoneResult run(const QStringList &args, const QByteArray &input = {},
                              const QString &cloudDir = QString()) const
    {
        return m_home.runPhone(args, input, cloudDir);
    }
    void storeRegistry(const DeviceRegistryMap &registry);

    TestHome m_home;
};

void tst_VornPhone::storeRegistry(const DeviceRegistryMap &registry)
{
    QCOMPARE(run({"put", "deviceRegistry"}, RegistryValue::encode(registry).value()).exitCode, 0);
}

void tst_VornPhone::init()
{
    QDir(m_home.cloudFolder()).removeRecursively();
}

void tst_VornPhone::badUsage_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("no command") << QStringList();
    QTest::newRow("unknown command") << QStringList{"jump"};
    QTest::newRow("block without on/off") << QStringList{"block"};
    QTest::newRow("device without id") << QStringList{"block", "on", "--device"};
    QTest::newRow("put hidden key") << QStringList{"put", ".hidden"};
    QTest::newRow("put key with slash") << QStringList{"put", "../escape"};
}

void tst_VornPhone::badUsage()
{
    QFETCH(QStringList, args);
    const TestHome::PhoneResult result = run(args);
    QVERIFY(result.exitCode > 0);
    QVERIFY(result.out.isEmpty());
    QVERIFY2(result.err.startsWith("vorn-phone: ") && result.err.count('\n') == 1, result.err);
    QVERIFY(!QFileInfo::exists(m_home.cloudFolder() + "/escape"));
}

void tst_VornPhone::rawBytesRoundTrip()
{
    QByteArray bytes;
    for (int i = 0; i < 256; ++i)
        bytes.append(char(i));
    QCOMPARE(run({"put", "blob"}, bytes).exitCode, 0);
    const TestHome::PhoneResult result = run({"get", "blob"});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.out, bytes);

    const TestHome::PhoneResult missing = run({"get", "nothing-here"});
    QCOMPARE(missing.exitCode, 1);
    QVERIFY(missing.err.contains("nothing-here"));
}

void tst_VornPhone::devicesAsJson()
{
    const double now = ReferenceDate::now();
    storeRegistry({{"M", {"M", SyncDeviceType::mac, "Desk", now - 5}},
                   {"P", {"P", SyncDeviceType::iPhone, "Phone", now - 31 * 86400}}});
    const TestHome::PhoneResult result = run({"devices", "--json"});
    QCOMPARE(result.exitCode, 0);
    const QJsonArray devices = QJsonDocument::fromJson(result.out).array();
    QCOMPARE(devices.size(), 2);
    QJsonObject byID[2];
    for (const QJsonValue &device : devices)
        byID[device["id"].toString() == "P"] = device.toObject();
    QCOMPARE(byID[0]["deviceType"].toString(), QStringLiteral("mac"));
    QCOMPARE(byID[0]["deviceName"].toString(), QStringLiteral("Desk"));
    QCOMPARE(byID[0]["stale"].toBool(), false);
    QCOMPARE(byID[0]["lastSeenAt"].toDouble(), now - 5);
    QCOMPARE(byID[1]["stale"].toBool(), true);
}

void tst_VornPhone::printedDataIsEscaped()
{
    // A name written by any device must not forge terminal output; JSON stays JSON.
    const QString name = QStringLiteral("Desk\x1b[2J\nroot  mac  Fake\r\u2028\\");
    storeRegistry({{"M\x07", {"M\x07", SyncDeviceType::mac, name, ReferenceDate::now()}}});
    const TestHome::PhoneResult text = run({"devices"});
    QCOMPARE(text.exitCode, 0);
    QCOMPARE(text.out.count('\n'), 1);
    QVERIFY2(text.out.contains("M\\x07  mac  Desk\\x1b[2J\\x0aroot  mac  Fake\\x0d\\u{2028}\\\\"),
             text.out.constData());
    for (char c = 0; c < 0x20; ++c)
        QVERIFY(c == '\n' || !text.out.contains(c));
    const TestHome::PhoneResult json = run({"devices", "--json"});
    QCOMPARE(json.exitCode, 0);
    QCOMPARE(QJsonDocument::fromJson(json.out).array().at(0)["deviceName"].toString(), name);
    const TestHome::PhoneResult block = run({"block", "on"});
    QCOMPARE(block.exitCode, 0);
    QVERIFY2(block.out.endsWith("for M\\x07\n"), block.out.constData());
}

void tst_VornPhone::blockTargets_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("isBlocking");
    QTest::addColumn<QStringList>("targets");

    QTest::newRow("macs seen within 30 days")
            << QStringList{"block", "on"} << true << QStringList{"MAC-NEW"};
    QTest::newRow("--all") << QStringList{"block", "off", "--all"} << false
                           << QStringList{"MAC-NEW", "MAC-OLD", "PHONE"};
    QTest::newRow("named devices, forced")
            << QStringList{"block", "on", "--device", "X", "--device", "Y", "--force"} << true
            << QStringList{"X", "Y"};
}

void tst_VornPhone::blockTargets()
{
    QFETCH(QStringList, args);
    QFETCH(bool, isBlocking);
    QFETCH(QStringList, targets);
    const double now = ReferenceDate::now();
    storeRegistry({{"MAC-NEW", {"MAC-NEW", SyncDeviceType::mac, "New", now - 60}},
                   {"MAC-OLD", {"MAC-OLD", SyncDeviceType::mac, "Old", now - 40 * 86400}},
                   {"PHONE", {"PHONE", SyncDeviceType::iPhone, "Phone", now}}});

    const TestHome::PhoneResult result = run(args);
    QVERIFY2(result.exitCode == 0, result.err);
    const std::optional<SyncedBlockState> state
            = SyncedBlockState::decode(run({"get", "syncedBlockState"}).out);
    QVERIFY(state);
    QCOMPARE(state->isBlocking, isBlocking);
    QCOMPARE(state->targetDeviceIDs, QSet<QString>(targets.cbegin(), targets.cend()));
    QVERIFY(qAbs(state->updatedAt - ReferenceDate::now()) < 60);
}

void tst_VornPhone::blockWithNothingToTarget()
{
    // An empty target set would be published as a success that applies nowhere.
    const TestHome::PhoneResult result = run({"block", "on"});
    QCOMPARE(result.exitCode, 1);
    QVERIFY(result.err.contains("no device to target"));
    QCOMPARE(run({"get", "syncedBlockState"}).exitCode, 1);
}

void tst_VornPhone::namedDevicesAreChecked_data()
{
    const QString registered = QStringLiteral("0F7C3A52-9D1B-4E8A-B6C2-5A4D3E2F1B0C");
    QTest::addColumn<QStringList>("devices");
    QTest::addColumn<bool>("force");
    QTest::addColumn<int>("exitCode");

    QTest::newRow("registered") << QStringList{registered} << false << 0;
    QTest::newRow("lower-case copy") << QStringList{registered.toLower()} << false << 2;
    QTest::newRow("in braces") << QStringList{'{' + registered + '}'} << false << 2;
    QTest::newRow("unregistered UUID")
            << QStringList{"6F1C2B3A-0000-4000-8000-000000000000"} << false << 2;
    QTest::newRow("not a UUID") << QStringList{"6F1C…"} << false << 2;
    QTest::newRow("one of two unknown")
            << QStringList{registered, "6F1C2B3A-0000-4000-8000-000000000000"} << false << 2;
    QTest::newRow("not a UUID, forced") << QStringList{"6F1C…"} << true << 0;
    QTest::newRow("unregistered, forced")
            << QStringList{"6F1C2B3A-0000-4000-8000-000000000000"} << true << 0;
}

void tst_VornPhone::namedDevicesAreChecked()
{
    QFETCH(QStringList, devices);
    QFETCH(bool, force);
    QFETCH(int, exitCode);
    const QString registered = QStringLiteral("0F7C3A52-9D1B-4E8A-B6C2-5A4D3E2F1B0C");
    storeRegistry({{registered, {registered, SyncDeviceType::mac, "Desk", ReferenceDate::now()}}});

    QStringList args{"block", "on"};
    for (const QString &device : std::as_const(devices))
        args << "--device" << device;
    if (force)
        args << "--force";
    const TestHome::PhoneResult result = run(args);
    QVERIFY2(result.exitCode == exitCode, result.err);
    const std::optional<SyncedBlockState> state
            = SyncedBlockState::decode(run({"get", "syncedBlockState"}).out);
    if (exitCode != 0) {
        // One line saying why, and nothing published.
        QVERIFY2(result.err.startsWith("vorn-phone: block: ") && result.err.count('\n') == 1,
                 result.err);
        QVERIFY(!state);
        return;
    }
    QVERIFY(state);
    QCOMPARE(state->targetDeviceIDs, QSet<QString>(devices.cbegin(), devices.cend()));
}

void tst_VornPhone::undecodableValuesAreReported()
{
    QCOMPARE(run({"put", "deviceRegistry"}, "[]").exitCode, 0);
    QCOMPARE(run({"put", "syncedBlockState"}, "{\"isBlocking\":1}").exitCode, 0);
    for (const QStringList &args :
         {QStringList{"devices"}, QStringList{"state"}, QStringList{"block", "on"}}) {
        const TestHome::PhoneResult result = run(args);
        QVERIFY2(result.exitCode == 1 && result.err.contains("undecodable"), result.err);
    }
    // Naming the device, forced, works around an unreadable registry.
    QCOMPARE(run({"block", "on", "--device", "X"}).exitCode, 2);
    QCOMPARE(run({"block", "on", "--device", "X", "--force"}).exitCode, 0);
    QVERIFY(run({"state"}).out.contains("Blocking: on"));
}

void tst_VornPhone::unusableStoreFails()
{
    const QString notAFolder = m_home.path("plain-file");
    QVERIFY(TestHome::writeFile(notAFolder, "x"));
    for (const QStringList &args : {QStringList{"state"}, QStringList{"put", "k"},
                                    QStringList{"block", "on", "--device", "X"}}) {
        const TestHome::PhoneResult result = run(args, "bytes", notAFolder);
        QVERIFY2(result.exitCode == 1 && result.err.count('\n') == 1, result.err);
    }
}

QTEST_GUILESS_MAIN(tst_VornPhone)
#include "tst_vornphone.moc"
