#include "syncedblockstate.h"

#include <QTest>

using OptionalState = std::optional<SyncedBlockState>;
Q_DECLARE_METATYPE(OptionalState)

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

class tst_SyncedBlockState : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void decode_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<OptionalState>("state"); // nothing: rejected

        // The page's cross-check also runs this decoder on every value of web/phone/test/cases.js
        // (member order, U+FEFF, numbers nobody reads, more refusals).
        const QSet<QString> one{QStringLiteral("A")};
        const auto row = [](const char *name, const QByteArray &json, const OptionalState &state) {
            QTest::newRow(name) << json << state;
        };
        row("well formed", record(), SyncedBlockState{true, one, 0});
        row("empty targets", record("true", "[]"), SyncedBlockState{true, {}, 0});
        row("repeated target counts once", record("true", R"(["A","A"])"),
            SyncedBlockState{true, one, 0});
        row("extra member ignored", record("true", R"(["A"])", "7", R"("version":3)"),
            SyncedBlockState{true, one, 7});
        row("fractional time", record("true", R"(["A"])", "786543210.125"),
            SyncedBlockState{true, one, 786543210.125});
        row("ends, locked", record("true", R"(["A"])", "0", R"("endsAt":90.5,"locked":true)"),
            SyncedBlockState{true, one, 0, 90.5, true});
        row("unlocked, integer end",
            record("true", R"(["A"])", "0", R"("locked":false,"endsAt":3)"),
            SyncedBlockState{true, one, 0, 3.0, false});
        row("isBlocking missing", record(""), std::nullopt);
        row("targets missing", record("true", ""), std::nullopt);
        row("targets a string", record("true", R"("A")"), std::nullopt);
        row("target a number", record("true", R"(["A",1])"), std::nullopt);
        row("updatedAt null", record("true", R"(["A"])", "null"), std::nullopt);
        // Read strictly (the reader's own suite has the grammar): Qt's reader takes this one.
        row("raw newline in a target", record("true", "[\"A\nB\"]"), std::nullopt);
    }
    void decode()
    {
        QFETCH(QByteArray, json);
        QFETCH(OptionalState, state);
        const OptionalState decoded = SyncedBlockState::decode(json);
        QCOMPARE(decoded, state);
        // Written back as the same state, the optional members only when set.
        if (decoded)
            QCOMPARE(SyncedBlockState::decode(decoded->encode().value()), decoded);
    }

    void encodeWritesMembersInFieldOrder()
    {
        SyncedBlockState state;
        state.isBlocking = true;
        state.targetDeviceIDs = {QStringLiteral("B\"\\"), QStringLiteral("A")};
        state.updatedAt = 786543210.5;
        QCOMPARE(state.encode().value(),
                 QByteArray("{\"isBlocking\":true,\"targetDeviceIDs\":[\"A\",\"B\\\"\\\\\"],"
                            "\"updatedAt\":786543210.5}"));
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
};

QTEST_GUILESS_MAIN(tst_SyncedBlockState)
#include "tst_syncedblockstate.moc"
