#include "deviceannouncement.h"

#include <QTest>

namespace {

// A record with these members' texts, in field order; an empty text leaves the member out.
QByteArray record(const QByteArray &type = "\"mac\"", const QByteArray &time = "12.5",
                  const QByteArray &name = "\"Desk\"", const QByteArray &id = "\"M\"",
                  const QByteArray &extra = {})
{
    QByteArrayList members;
    for (const auto &[member, text] :
         {std::pair{"id", id}, std::pair{"deviceType", type}, std::pair{"deviceName", name},
          std::pair{"lastSeenAt", time}}) {
        if (!text.isEmpty())
            members << '"' + QByteArray(member) + "\":" + text;
    }
    if (!extra.isEmpty())
        members << extra;
    return '{' + members.join(',') + '}';
}

QByteArray underM(const QByteArray &record)
{
    return "{\"M\":" + record + '}';
}

} // namespace

class tst_DeviceAnnouncement : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void decodeRegistry_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<int>("count"); // -1: undecodable

        const auto row = [](const char *name, const QByteArray &json, int count) {
            QTest::newRow(name) << json << count;
        };
        // The page's cross-check runs this decoder on the registries of web/phone/test/cases.js;
        // what that table lacks: a marked-up kind is not "iPhone", a huge number nobody reads is
        // fine, and a time beyond a double's range is no time.
        row("kind behind U+FEFF", underM(record("\"\\ufeffiPhone\"")), -1);
        row("huge ignored number", underM(record("\"mac\"", "1", "\"x\"", "\"M\"", R"("n":1e400)")),
            1);
        row("time out of range", underM(record("\"mac\"", "1e400")), -1);
    }
    void decodeRegistry()
    {
        QFETCH(QByteArray, json);
        QFETCH(int, count);
        const std::optional<DeviceRegistryMap> registry = RegistryValue::decode(json);
        QCOMPARE(registry.has_value(), count >= 0);
        if (registry)
            QCOMPARE(registry->size(), count);
    }
    void encodeWritesFieldOrder()
    {
        const DeviceAnnouncement mac{
                "ID-1", SyncDeviceType::mac, "Ada’s \"desk\"", 786543210.25, {}};
        QCOMPARE(mac.toJson().value(),
                 QByteArray("{\"id\":\"ID-1\",\"deviceType\":\"mac\",\"deviceName\":\"Ada’s "
                            "\\\"desk\\\"\",\"lastSeenAt\":786543210.25}"));

        DeviceRegistryMap registry{{mac.id, mac}};
        registry[mac.id].lastSeenAt = qQNaN();
        QVERIFY(!RegistryValue::encode(registry));

        // The member name stays apart from the record's id; what Vorn does not know is not kept.
        const QByteArray stored = "{\"other\":"
                + record("\"iPhone\"", "5", "\"Phone\"", "\"P\"", R"("os":"17")") + '}';
        QCOMPARE(RegistryValue::encode(RegistryValue::decode(stored).value()).value(),
                 "{\"other\":" + record("\"iPhone\"", "5", "\"Phone\"", "\"P\"") + '}');
    }
    void heldBack_data()
    {
        QTest::addColumn<QByteArray>("member"); // the stored "heldBack"
        QTest::addColumn<QByteArray>("kept"); // what Vorn writes back; empty: dropped, record kept

        const auto row = [](const char *name, const QByteArray &member, const QByteArray &kept) {
            QTest::newRow(name) << member << kept;
        };
        const QByteArray locked = R"({"updatedAt":5,"reason":"locked","until":3605.5})";
        row("locked", locked, locked);
        row("unsigned, no until", R"({"updatedAt":5,"reason":"unsigned"})",
            R"({"updatedAt":5,"reason":"unsigned"})");
        row("any order, extra member", R"({"until":9,"x":1,"reason":"locked","updatedAt":5})",
            R"({"updatedAt":5,"reason":"locked","until":9})");
        row("until as a time text", R"({"updatedAt":5,"reason":"locked","until":"17:00"})", {});
        row("no reason", R"({"updatedAt":5,"until":9})", {});
        row("updatedAt out of range", R"({"updatedAt":1e400,"reason":"locked"})", {});
        row("not an object", "true", {});
    }
    void heldBack()
    {
        QFETCH(QByteArray, member);
        QFETCH(QByteArray, kept);
        const std::optional<DeviceRegistryMap> registry = RegistryValue::decode(
                underM(record("\"mac\"", "1", "\"D\"", "\"M\"", "\"heldBack\":" + member)));
        QVERIFY(registry);
        QCOMPARE(RegistryValue::encode(*registry).value(),
                 underM(record("\"mac\"", "1", "\"D\"", "\"M\"",
                               kept.isEmpty() ? QByteArray() : "\"heldBack\":" + kept)));
    }
};

QTEST_GUILESS_MAIN(tst_DeviceAnnouncement)
#include "tst_deviceannouncement.moc"
