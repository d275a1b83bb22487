#include "syncedblockstate.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

class tst_SyncedBlockState : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void decode_data();
    void decode();
    void optionalMembers_data();
    void optionalMembers();
    void encodeWritesMembersInFieldOrder();
    void encodeRefusesNonFiniteTime();
};

void tst_SyncedBlockState::decode_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<bool>("isBlocking");
    QTest::addColumn<QStringList>("targets");
    QTest::addColumn<double>("updatedAt");

    const QStringList one{QStringLiteral("A")};
    QTest::newRow("well formed") << QByteArray(
            R"({"isBlocking":true,"targetDeviceIDs":["A"],"updatedAt":0})")
                                 << true << true << one << 0.0;
    QTest::newRow("any member order, whitespace") << QByteArray(
            " {\n \"updatedAt\" : 12.5, \"targetDeviceIDs\":[\"A\"], \"isBlocking\":false }\n")
                                                  << true << false << one << 12.5;
    QTest::newRow("empty targets")
            << QByteArray(R"({"isBlocking":true,"targetDeviceIDs":[],"updatedAt":1})") << true
            << true << QStringList() << 1.0;
    QTest::newRow("repeated target counts once")
            << QByteArray(R"({"isBlocking":true,"targetDeviceIDs":["A","A"],"updatedAt":1})")
            << true << true << one << 1.0;
    QTest::newRow("extra member ignored") << QByteArray(
            R"({"version":3,"isBlocking":true,"targetDeviceIDs":["A"],"updatedAt":7})")
                                          << true << true << one << 7.0;
    QTest::newRow("fractional time") << QByteArray(
            R"({"isBlocking":true,"targetDeviceIDs":["A"],"updatedAt":786543210.125})")
                                     << true << true << one << 786543210.125;

    const auto rejected = [](const char *name, const QByteArray &json) {
        QTest::newRow(name) << json << false << false << QStringList() << 0.0;
    };
    rejected("isBlocking as number", R"({"isBlocking":1,"targetDeviceIDs":["A"],"updatedAt":0})");
    rejected("isBlocking as string",
             R"({"isBlocking":"true","targetDeviceIDs":["A"],"updatedAt":0})");
    rejected("isBlocking null", R"({"isBlocking":null,"targetDeviceIDs":["A"],"updatedAt":0})");
    rejected("isBlocking missing", R"({"targetDeviceIDs":["A"],"updatedAt":0})");
    rejected("targets null", R"({"isBlocking":true,"targetDeviceIDs":null,"updatedAt":0})");
    rejected("targets missing", R"({"isBlocking":true,"updatedAt":0})");
    rejected("targets a string", R"({"isBlocking":true,"targetDeviceIDs":"A","updatedAt":0})");
    rejected("target a number", R"({"isBlocking":true,"targetDeviceIDs":["A",1],"updatedAt":0})");
    rejected("target null", R"({"isBlocking":true,"targetDeviceIDs":[null],"updatedAt":0})");
    rejected("updatedAt ISO 8601",
             R"({"isBlocking":true,"targetDeviceIDs":["A"],"updatedAt":"2024-01-01T00:00:00Z"})");
    rejected("updatedAt missing", R"({"isBlocking":true,"targetDeviceIDs":["A"]})");
    rejected("updatedAt null", R"({"isBlocking":true,"targetDeviceIDs":["A"],"updatedAt":null})");
    rejected("top-level array", R"([{"isBlocking":true,"targetDeviceIDs":["A"],"updatedAt":0}])");
    rejected("trailing garbage", R"({"isBlocking":true,"targetDeviceIDs":["A"],"updatedAt":0} x)");
    // Read strictly (the reader's own suite has the grammar): what Qt's own reader lets through.
    rejected("raw newline in a target",
             "{\"isBlocking\":true,\"targetDeviceIDs\":[\"A\nB\"],\"updatedAt\":0}");
    rejected("time out of range",
             R"({"isBlocking":true,"targetDeviceIDs":["A"],"updatedAt":1e999})");
    QTest::newRow("huge ignored number")
            << QByteArray(R"({"n":1e999,"isBlocking":true,"targetDeviceIDs":["A"],"updatedAt":0})")
            << true << true << one << 0.0;
    QTest::newRow("U+FEFF kept in a target")
            << QByteArray(R"({"isBlocking":true,"targetDeviceIDs":["\ufeffA"],"updatedAt":0})")
            << true << true << QStringList{QStringLiteral("\ufeffA")} << 0.0;
}

void tst_SyncedBlockState::decode()
{
    QFETCH(QByteArray, json);
    QFETCH(bool, accepted);

    const std::optional<SyncedBlockState> state = SyncedBlockState::decode(json);
    QCOMPARE(state.has_value(), accepted);
    if (!accepted)
        return;
    QFETCH(bool, isBlocking);
    QFETCH(QStringList, targets);
    QFETCH(double, updatedAt);
    QCOMPARE(state->isBlocking, isBlocking);
    QCOMPARE(state->targetDeviceIDs, QSet<QString>(targets.cbegin(), targets.cend()));
    QCOMPARE(state->updatedAt, updatedAt);
}

void tst_SyncedBlockState::optionalMembers_data()
{
    QTest::addColumn<QByteArray>("members"); // added to a valid record
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QVariant>("endsAt"); // invalid: absent
    QTest::addColumn<QVariant>("locked");
    QTest::newRow("neither") << QByteArray() << true << QVariant() << QVariant();
    QTest::newRow("both") << QByteArray(R"(,"endsAt":90.5,"locked":true)") << true << QVariant(90.5)
                          << QVariant(true);
    QTest::newRow("unlocked, integer end") << QByteArray(R"(,"locked":false,"endsAt":3)") << true
                                           << QVariant(3.0) << QVariant(false);
    QTest::newRow("endsAt as text")
            << QByteArray(R"(,"endsAt":"17:00")") << false << QVariant() << QVariant();
    QTest::newRow("endsAt null") << QByteArray(R"(,"endsAt":null)") << false << QVariant()
                                 << QVariant();
    QTest::newRow("endsAt out of range")
            << QByteArray(R"(,"endsAt":1e999)") << false << QVariant() << QVariant();
    QTest::newRow("locked as 1") << QByteArray(R"(,"locked":1)") << false << QVariant()
                                 << QVariant();
    QTest::newRow("locked null") << QByteArray(R"(,"locked":null)") << false << QVariant()
                                 << QVariant();
}

void tst_SyncedBlockState::optionalMembers()
{
    QFETCH(QByteArray, members);
    QFETCH(bool, accepted);
    QFETCH(QVariant, endsAt);
    QFETCH(QVariant, locked);
    const std::optional<SyncedBlockState> state = SyncedBlockState::decode(
            R"({"isBlocking":true,"targetDeviceIDs":["A"],"updatedAt":1)" + members + '}');
    QCOMPARE(state.has_value(), accepted);
    if (!accepted)
        return;
    QCOMPARE(state->endsAt.has_value(), endsAt.isValid());
    QCOMPARE(state->endsAt.value_or(0), endsAt.toDouble());
    QCOMPARE(state->locked.has_value(), locked.isValid());
    QCOMPARE(state->locked.value_or(false), locked.toBool());
    // Written back only when set, after the required members.
    QCOMPARE(SyncedBlockState::decode(state->encode().value()), state);
    QCOMPARE(state->encode()->contains("endsAt"), endsAt.isValid());
}

void tst_SyncedBlockState::encodeWritesMembersInFieldOrder()
{
    SyncedBlockState state;
    state.isBlocking = true;
    state.targetDeviceIDs = {QStringLiteral("B\"\\"), QStringLiteral("A")};
    state.updatedAt = 786543210.5;
    const QByteArray json = state.encode().value();
    QCOMPARE(json,
             QByteArray("{\"isBlocking\":true,\"targetDeviceIDs\":[\"A\",\"B\\\"\\\\\"],"
                        "\"updatedAt\":786543210.5}"));
    QCOMPARE(SyncedBlockState::decode(json), std::optional<SyncedBlockState>(state));
    state.endsAt = 786546810;
    state.locked = false;
    QVERIFY(state.encode()->endsWith(
            R"("updatedAt":786543210.5,"endsAt":786546810,"locked":false})"));
}

void tst_SyncedBlockState::encodeRefusesNonFiniteTime()
{
    SyncedBlockState state;
    state.updatedAt = std::numeric_limits<double>::infinity();
    QVERIFY(!state.encode());
    state.updatedAt = 0;
    state.endsAt = std::numeric_limits<double>::quiet_NaN();
    QVERIFY(!state.encode());
}

QTEST_GUILESS_MAIN(tst_SyncedBlockState)
#include "tst_syncedblockstate.moc"
