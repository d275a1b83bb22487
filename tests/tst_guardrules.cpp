#include "guardrules.h"
#include "guardstore.h"
#include "phonepairing.h"
#include "programcontent.h"
#include "recordsignature.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTest>

using Verdict = GuardRules::Verdict;

namespace {

ProgramRule rule(const char *id, quint64 inode, qint64 size, const QByteArray &buildId,
                 const QByteArray &sha256 = {}, const char *path = "/usr/bin/app")
{
    return ProgramRule{
            QString::fromLatin1(id), QString::fromLatin1(path), 8, inode, size, buildId, sha256};
}

} // namespace

// Which exec the rules refuse, for whom, and when they ask for the file's content.
class TestGuardRules : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void decide_data()
    {
        QTest::addColumn<uint>("realUid");
        QTest::addColumn<uint>("effectiveUid");
        QTest::addColumn<quint64>("inode");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QByteArray>("buildId"); // of the file read; "-": nothing read yet
        QTest::addColumn<QByteArray>("sha256");
        QTest::addColumn<int>("verdict");
        QTest::addColumn<QString>("id");
        const auto A = Verdict::Allow, D = Verdict::Deny, R = Verdict::ReadContent;
        const std::tuple<const char *, uint, uint, quint64, qint64, const char *, const char *,
                         Verdict, const char *>
                rows[] = {
                        {"same inode", 1000, 1000, 1, 7, "-", "", D, "org.a"},
                        {"effective uid only (sudo)", 0, 1000, 1, 7, "-", "", D, "org.a"},
                        {"real uid only", 1000, 0, 1, 7, "-", "", D, "org.a"},
                        {"root", 0, 0, 1, 7, "-", "", A, ""},
                        {"a user not blocking", 1001, 1001, 1, 7, "-", "", A, ""},
                        {"user blocking nothing", 1002, 1002, 1, 7, "-", "", A, ""},
                        {"other inode: read it", 1000, 1000, 9, 5, "-", "", R, ""},
                        {"same build-id", 1000, 1000, 9, 5, "B1", "", D, "org.a"},
                        {"other build-id", 1000, 1000, 9, 5, "B9", "", A, ""},
                        {"no build-id, other size", 1000, 1000, 9, 5, "", "", A, ""},
                        {"no build-id, same size: digest", 1000, 1000, 9, 40, "", "", R, ""},
                        {"same digest", 1000, 1000, 9, 40, "", "D1", D, "org.b"},
                        {"other digest", 1000, 1000, 9, 40, "", "D2", A, ""},
                        {"build-id beats same size", 1000, 1000, 9, 40, "B9", "", A, ""},
                        {"shared program's inode", 1000, 1000, 3, 7, "-", "", R, ""},
                        {"shared program's build-id", 1000, 1000, 9, 5, "SH", "", A, ""},
                };
        for (const auto &[name, real, effective, inode, size, buildId, sha256, verdict, id] : rows)
            QTest::newRow(name) << real << effective << inode << size << QByteArray(buildId)
                                << QByteArray(sha256) << int(verdict) << QString(id);
    }

    void decide()
    {
        QFETCH(uint, realUid);
        QFETCH(uint, effectiveUid);
        QFETCH(quint64, inode);
        QFETCH(qint64, size);
        QFETCH(QByteArray, buildId);
        QFETCH(QByteArray, sha256);
        QFETCH(int, verdict);
        QFETCH(QString, id);
        QHash<uint, UserState> states;
        states.insert(1000,
                      UserState{true,
                                {rule("org.a", 1, 7, "B1"), rule("org.b", 2, 40, {}, "D1"),
                                 rule("org.sh", 3, 7, "SH", {}, "/usr/bin/bash")}});
        states.insert(1001, UserState{false, {rule("org.a", 1, 7, "B1")}});
        states.insert(1002, UserState{true, {}});
        states.insert(0, UserState{true, {rule("org.a", 1, 7, "B1")}});
        const GuardRules rules(states);
        const FileKey key{8, inode, size, 0, 0};
        const FileContent content{buildId, sha256, !sha256.isEmpty()};
        const auto decision
                = rules.decide(realUid, effectiveUid, key, buildId == "-" ? nullptr : &content);
        QCOMPARE(int(decision.verdict), verdict);
        QCOMPARE(decision.id, id);
    }

    // A session the guard times from forwarded records, each received at its updatedAt and kept
    // through the store, as across a restart of the guard. Times from 2001-01-01 00:00 UTC.
    void session_data()
    {
        QTest::addColumn<QStringList>("records"); // members besides "targetDeviceIDs":["D1"]
        QTest::addColumn<double>("checkAt"); // boot clock, seconds after the first record
        QTest::addColumn<double>("wallShift"); // how far the wall clock was moved by then
        QTest::addColumn<bool>("blocking");
        const QString locked = R"("isBlocking":true,"updatedAt":0,"endsAt":3600,"locked":true)";
        const QString off = R"("isBlocking":false,"updatedAt":60)";
        QTest::newRow("locked: an off is held back")
                << QStringList{locked, off} << 120.0 << 0.0 << true;
        QTest::newRow("locked: a moved wall clock does not end it")
                << QStringList{locked} << 120.0 << 7200.0 << true;
        QTest::newRow("lock without end: the held-back off applies after 24 h")
                << QStringList{R"("isBlocking":true,"updatedAt":0,"locked":true)", off} << 86401.0
                << 0.0 << false;
        QTest::newRow("unlocked: an off applies")
                << QStringList{R"("isBlocking":true,"updatedAt":0,"endsAt":3600)", off} << 120.0
                << 0.0 << false;
        QTest::newRow("locked window: an off is held back")
                << QStringList{R"("updatedAt":0,"windows":[{"days":["mon"],"start":"00:00",)"
                               R"("end":"23:59","locked":true,"targetDeviceIDs":["D1"]}])",
                               off}
                << 120.0 << 0.0 << true;
    }

    void session()
    {
        QFETCH(QStringList, records);
        QFETCH(double, checkAt);
        QFETCH(double, wallShift);
        QFETCH(bool, blocking);
        const auto reading = [](double at, double shift) {
            return SessionClock::Reading{"boot", 100 + at, at + shift, QTimeZone::utc()};
        };
        GuardSession session;
        QList<QByteArray> log;
        for (const QString &members : std::as_const(records)) {
            const QByteArray json = R"({"targetDeviceIDs":["D1"],)" + members.toUtf8() + '}';
            const double at = QJsonDocument::fromJson(json)["updatedAt"].toDouble();
            QVERIFY(session.receive(members.contains(u"windows") ? GuardSession::scheduleKey
                                                                 : GuardSession::blockStateKey,
                                    json, QStringLiteral("D1"), reading(at, 0), log));
            const auto stored
                    = GuardStore::decode(GuardStore::encode(UserState{true, {}, session}));
            QVERIFY(stored && stored->session);
            session = *stored->session;
        }
        QCOMPARE(session.evaluate(reading(checkAt, wallShift), log).blocking, blocking);
    }

    // A paired phone. Steps "<what> <time>": pair, unpair, recover, on, off, signed-on, signed-off.
    void pairedPhone_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<bool>("blocking");
        const auto row = [](const char *name, const char *steps, bool blocking) {
            QTest::newRow(name) << QString::fromLatin1(steps).split(u',') << blocking;
        };
        row("older signed off replayed", "pair 0,signed-off 5,signed-on 10,signed-off 5", true);
        row("pairing refused while blocking", "on 10,pair 15,off 20", false);
        row("unpairing refused while blocking", "pair 0,signed-on 10,unpair 15,off 20", true);
        row("recovery: unpaired after the wait", "pair 0,signed-on 10,recover 20,off 86421", false);
    }

    void pairedPhone()
    {
        QFETCH(QStringList, steps);
        QFETCH(bool, blocking);
        const auto key = RecordSignature::generateKey();
        QVERIFY(key);
        GuardSession session;
        QList<QByteArray> log;
        for (const QString &step : std::as_const(steps)) {
            const QString what = step.section(u' ', 0, 0);
            const double at = step.section(u' ', 1).toDouble();
            const SessionClock::Reading now{"boot", 100 + at, at, QTimeZone::utc()};
            QJsonObject record{{"isBlocking", what.endsWith(u"on")},
                               {"targetDeviceIDs", QJsonArray{"D1"}},
                               {"updatedAt", at}};
            if (what.startsWith(u"signed"))
                record = *RecordSignature::signRecord(GuardSession::blockStateKey, record,
                                                      key->pkcs8Der);
            if (what == u"pair")
                session.pair(key->spkiDer, "s", PhonePairing::recoveryHash("CODE", "s"), now, log);
            else if (what == u"unpair")
                session.unpair(RecordSignature::fingerprint(key->spkiDer), now, log);
            else if (what == u"recover")
                QVERIFY(session.recover("CODE", 86400, now, log));
            else
                session.receive(GuardSession::blockStateKey, QJsonDocument(record).toJson(),
                                QStringLiteral("D1"), now, log);
            session = *GuardSession::decode(session.encode());
        }
        QCOMPARE(session.evaluate({"boot", 1e6, 1e6 - 100, QTimeZone::utc()}, log).blocking,
                 blocking);
    }

    // The build-id the note holds, as readelf shows it for this machine's /bin/true.
    void elfBuildId()
    {
        QFile program(QStringLiteral("/bin/true"));
        QVERIFY(program.open(QIODevice::ReadOnly));
        const QByteArray bytes = program.readAll();
        const auto read = [&bytes](char *buffer, qint64 size, qint64 offset) -> qint64 {
            const QByteArray part = bytes.mid(offset, size);
            std::memcpy(buffer, part.constData(), size_t(part.size()));
            return part.size();
        };
        QProcess readelf;
        readelf.start(QStringLiteral("readelf"), {QStringLiteral("-n"), program.fileName()});
        if (!readelf.waitForFinished(10000) || readelf.exitCode() != 0)
            QSKIP("readelf is not available");
        const QByteArray notes = readelf.readAllStandardOutput();
        const qsizetype at = notes.indexOf("Build ID: ");
        QVERIFY(at >= 0);
        const QByteArray expected = notes.mid(at + 10, notes.indexOf('\n', at) - at - 10).trimmed();
        QCOMPARE(ProgramContent::elfBuildId(read).toHex(), expected);
        QCOMPARE(ProgramContent::elfBuildId([](char *, qint64, qint64) -> qint64 { return -1; }),
                 QByteArray());
    }
};

QTEST_GUILESS_MAIN(TestGuardRules)
#include "tst_guardrules.moc"
