#include "deviceannouncement.h"

#include <QTest>

class tst_DeviceAnnouncement : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void decodeRegistry_data();
    void decodeRegistry();
    void encodeWritesFieldOrder();
    void rewriteDropsExtraMembersAndKeepsMemberNames();
};

namespace {

QByteArray record(const char *id, const char *type, const char *name = "Desk",
                  const char *time = "12.5")
{
    return QByteArray("{\"id\":\"") + id + "\",\"deviceType\":" + type + ",\"deviceName\":\"" + name
            + "\",\"lastSeenAt\":" + time + '}';
}

} // namespace

void tst_DeviceAnnouncement::decodeRegistry_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<int>("count"); // -1: undecodable

    QTest::newRow("empty object") << QByteArray("{}") << 0;
    QTest::newRow("two records") << "{\"P\":" + record("P", "\"iPhone\"")
                    + ",\"M\":" + record("M", "\"mac\"")
                    + '}' << 2;
    QTest::newRow("integer time") << "{\"M\":" + record("M", "\"mac\"", "Desk", "700") + '}' << 1;
    QTest::newRow("extra member") << QByteArray(
            R"({"M":{"id":"M","deviceType":"iPad","deviceName":"x","lastSeenAt":1,"os":"17"}})")
                                  << 1;
    QTest::newRow("capital Mac") << "{\"M\":" + record("M", "\"Mac\"") + '}' << -1;
    QTest::newRow("unknown kind") << "{\"M\":" + record("M", "\"watch\"") + '}' << -1;
    QTest::newRow("null kind") << "{\"M\":" + record("M", "null") + '}' << -1;
    QTest::newRow("ISO date") << "{\"M\":"
                    + record("M", "\"mac\"", "Desk", "\"2024-01-01T00:00:00Z\"")
                    + '}' << -1;
    QTest::newRow("name a number")
            << QByteArray(R"({"M":{"id":"M","deviceType":"mac","deviceName":3,"lastSeenAt":1}})")
            << -1;
    QTest::newRow("missing id") << QByteArray(
            R"({"M":{"deviceType":"mac","deviceName":"x","lastSeenAt":1}})")
                                << -1;
    QTest::newRow("one bad record spoils all")
            << "{\"P\":" + record("P", "\"iPhone\"") + ",\"M\":" + record("M", "\"Mac\"") + '}'
            << -1;
    QTest::newRow("top-level array") << "[" + record("M", "\"mac\"") + ']' << -1;
    QTest::newRow("record not an object") << QByteArray(R"({"M":"mac"})") << -1;
    QTest::newRow("empty blob") << QByteArray() << -1;
    // Read strictly: a marked-up kind is not "iPhone", a huge number nobody reads is fine, and a
    // time beyond a double's range is no time.
    QTest::newRow("kind behind U+FEFF") << "{\"P\":" + record("P", "\"\\ufeffiPhone\"") + '}' << -1;
    QTest::newRow("huge ignored number") << QByteArray(
            R"({"M":{"id":"M","deviceType":"mac","deviceName":"x","lastSeenAt":1,"n":1e400}})")
                                         << 1;
    QTest::newRow("time out of range")
            << "{\"M\":" + record("M", "\"mac\"", "x", "1e400") + '}' << -1;
}

void tst_DeviceAnnouncement::decodeRegistry()
{
    QFETCH(QByteArray, json);
    QFETCH(int, count);
    const std::optional<DeviceRegistryMap> registry = RegistryValue::decode(json);
    QCOMPARE(registry.has_value(), count >= 0);
    if (registry)
        QCOMPARE(registry->size(), count);
}

void tst_DeviceAnnouncement::encodeWritesFieldOrder()
{
    const DeviceAnnouncement mac{QStringLiteral("ID-1"), SyncDeviceType::mac,
                                 QStringLiteral("Ada’s \"desk\""), 786543210.25};
    QCOMPARE(mac.toJson().value(),
             QByteArray("{\"id\":\"ID-1\",\"deviceType\":\"mac\",\"deviceName\":\"Ada’s "
                        "\\\"desk\\\"\",\"lastSeenAt\":786543210.25}"));

    DeviceRegistryMap registry{{mac.id, mac}};
    const QByteArray bytes = RegistryValue::encode(registry).value();
    QCOMPARE(RegistryValue::decode(bytes), std::optional(registry));

    registry[mac.id].lastSeenAt = qQNaN();
    QVERIFY(!RegistryValue::encode(registry));
}

void tst_DeviceAnnouncement::rewriteDropsExtraMembersAndKeepsMemberNames()
{
    // The member name stays apart from the record's id; what Vorn does not know is not kept.
    const QByteArray stored(
            R"({"other":{"os":"17","id":"P","deviceType":"iPhone","deviceName":"Phone","lastSeenAt":5}})");
    QCOMPARE(RegistryValue::encode(RegistryValue::decode(stored).value()).value(),
             QByteArray(R"({"other":{"id":"P","deviceType":"iPhone","deviceName":"Phone",)"
                        R"("lastSeenAt":5}})"));
}

QTEST_GUILESS_MAIN(tst_DeviceAnnouncement)
#include "tst_deviceannouncement.moc"
