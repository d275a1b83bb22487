#include "syncedblockstate.h"

#include <QTest>

class tst_SyncedBlockState : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void decode_data();
    void decode();
    void encodeWritesMembersInFieldOrder();
};

namespace {

// A record with these members' texts, after `others`; an empty text leaves the member out.
QByteArray record(const QByteArray &blocking = "true", const QByteArray &targets = R"(["A"])",
                  const QByteArray &time = "0", const QByteArray &others = {})
{
    QByteArrayList members;
    if (!others.isEmpty())
        members << others;
    for (const auto &[name, text] :
         {std::pair{"isBlocking", blocking}, std::pair{"targetDeviceIDs", targets},
          std::pair{"updatedAt", time}}) {
        if (!text.isEmpty())
            members << '"' + QByteArray(name) + "\":" + text;
    }
    return '{' + members.join(',') + '}';
}

} // namespace

void tst_SyncedBlockState::decode_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<bool>("isBlocking");
    QTest::addColumn<QStringList>("targets");
    QTest::addColumn<double>("updatedAt");
    QTest::addColumn<QVariant>("endsAt"); // invalid: absent
    QTest::addColumn<QVariant>("locked");

    const QStringList one{QStringLiteral("A")};
    const auto accepted
            = [](const char *name, const QByteArray &json, bool on, const QStringList &targets,
                 double time, const QVariant &endsAt = {}, const QVariant &locked = {}) {
                  QTest::newRow(name) << json << true << on << targets << time << endsAt << locked;
              };
    accepted("well formed", record(), true, one, 0);
    accepted("any member order, whitespace",
             " {\n \"updatedAt\" : 12.5, \"targetDeviceIDs\":[\"A\"], \"isBlocking\":false }\n",
             false, one, 12.5);
    accepted("empty targets", record("true", "[]"), true, {}, 0);
    accepted("repeated target counts once", record("true", R"(["A","A"])"), true, one, 0);
    accepted("extra member ignored", record("true", R"(["A"])", "7", R"("version":3)"), true, one,
             7);
    accepted("fractional time", record("true", R"(["A"])", "786543210.125"), true, one,
             786543210.125);
    // Read strictly (the reader's own suite has the grammar): what Qt's own reader lets through.
    accepted("huge ignored number", record("true", R"(["A"])", "0", R"("n":1e999)"), true, one, 0);
    accepted("U+FEFF kept in a target", record("true", R"(["\ufeffA"])"), true,
             {QStringLiteral("\ufeffA")}, 0);

    accepted("ends, locked", record("true", R"(["A"])", "0", R"("endsAt":90.5,"locked":true)"),
             true, one, 0, 90.5, true);
    accepted("unlocked, integer end",
             record("true", R"(["A"])", "0", R"("locked":false,"endsAt":3)"), true, one, 0, 3.0,
             false);

    // The page's cross-check runs this decoder on the refusals of web/phone/test/cases.js; these
    // are the ones that table lacks.
    const auto rejected = [](const char *name, const QByteArray &json) {
        QTest::newRow(name) << json << false << false << QStringList() << 0.0 << QVariant()
                            << QVariant();
    };
    rejected("isBlocking missing", record(""));
    rejected("targets missing", record("true", ""));
    rejected("targets a string", record("true", R"("A")"));
    rejected("target a number", record("true", R"(["A",1])"));
    rejected("updatedAt null", record("true", R"(["A"])", "null"));
    rejected("raw newline in a target", record("true", "[\"A\nB\"]"));
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
    QFETCH(QVariant, endsAt);
    QFETCH(QVariant, locked);
    QCOMPARE(state->endsAt.has_value(), endsAt.isValid());
    QCOMPARE(state->endsAt.value_or(0), endsAt.toDouble());
    QCOMPARE(state->locked.has_value(), locked.isValid());
    QCOMPARE(state->locked.value_or(false), locked.toBool());
    // Written back as the same state, the optional members only when set.
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
    // No JSON number for these: nothing is written rather than "inf" or "nan".
    state.endsAt = std::numeric_limits<double>::quiet_NaN();
    QVERIFY(!state.encode());
    state.endsAt.reset();
    state.updatedAt = std::numeric_limits<double>::infinity();
    QVERIFY(!state.encode());
}

QTEST_GUILESS_MAIN(tst_SyncedBlockState)
#include "tst_syncedblockstate.moc"
