#include "blockschedule.h"
#include "deviceannouncement.h"
#include "referencedate.h"
#include "syncedblockstate.h"
#include "testhome.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

namespace {

const QString fresh = QStringLiteral("0F7C3A52-9D1B-4E8A-B6C2-5A4D3E2F1B0C"); // a mac, just seen
const QString old = QStringLiteral("1A2B3C4D-0000-4000-8000-00000000000A"); // a mac, 40 days ago
const QString phone = QStringLiteral("2A2B3C4D-0000-4000-8000-00000000000B");
const QString unregistered = QStringLiteral("6F1C2B3A-0000-4000-8000-000000000000");

} // namespace

// vorn-phone is run as the user would run it: a separate process on the same cloud folder.
class tst_VornPhone : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { QDir(m_home.cloudFolder()).removeRecursively(); }
    void rawBytesRoundTrip()
    {
        QByteArray bytes;
        for (int i = 0; i < 256; ++i)
            bytes.append(char(i));
        QCOMPARE(run({"put", "blob"}, bytes).exitCode, 0);
        const TestHome::ProgramResult result = run({"get", "blob"});
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.out, bytes);
    }
    void devicesAsJson()
    {
        prepare("registry");
        const TestHome::ProgramResult result = run({"devices", "--json"});
        QCOMPARE(result.exitCode, 0);
        QHash<QString, QJsonObject> byID;
        for (const QJsonValue &device : QJsonDocument::fromJson(result.out).array())
            byID.insert(device["id"].toString(), device.toObject());
        QCOMPARE(byID.size(), 3);
        QCOMPARE(byID[fresh]["deviceType"].toString(), QStringLiteral("mac"));
        QCOMPARE(byID[fresh]["deviceName"].toString(), QStringLiteral("New"));
        QCOMPARE(byID[fresh]["stale"].toBool(), false);
        QCOMPARE(byID[old]["stale"].toBool(), true);
        QCOMPARE(byID[fresh]["lastSeenAt"].toDouble(), m_now - 60);
    }
    void printedDataIsEscaped()
    {
        // A name written by any device must not forge terminal output; JSON stays JSON.
        const QString name = QStringLiteral("Desk\x1b[2J\nroot  mac  Fake\r\u2028\\\u202e");
        storeRegistry({{"M\x07", {"M\x07", SyncDeviceType::mac, name, ReferenceDate::now(), {}}}});
        const TestHome::ProgramResult text = run({"devices"});
        QCOMPARE(text.exitCode, 0);
        QCOMPARE(text.out.count('\n'), 1);
        QVERIFY2(
                text.out.contains(
                        "M\\x07  mac  Desk\\x1b[2J\\x0aroot  mac  Fake\\x0d\\u{2028}\\\\\\u{202e}"),
                text.out.constData());
        for (char c = 0; c < 0x20; ++c)
            QVERIFY(c == '\n' || !text.out.contains(c));
        const TestHome::ProgramResult json = run({"devices", "--json"});
        QCOMPARE(json.exitCode, 0);
        QCOMPARE(QJsonDocument::fromJson(json.out).array().at(0)["deviceName"].toString(), name);
        const TestHome::ProgramResult block = run({"block", "on"});
        QCOMPARE(block.exitCode, 0);
        QVERIFY2(block.out.endsWith("for M\\x07\n"), block.out.constData());
    }
    void published_data()
    {
        QTest::addColumn<QString>("store");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QStringList>("targets");

        QTest::newRow("macs seen within 30 days")
                << "registry" << QStringList{"block", "on"} << QStringList{fresh};
        QTest::newRow("--all") << "registry" << QStringList{"block", "off", "--all"}
                               << QStringList{fresh, old, phone};
        QTest::newRow("registered") << "registry" << QStringList{"block", "on", "--device", fresh}
                                    << QStringList{fresh};
        QTest::newRow("named devices, forced")
                << "registry"
                << QStringList{"block", "on", "--device", "X", "--device", "Y", "--force"}
                << QStringList{"X", "Y"};
        // Naming the device, forced, works around an unreadable registry.
        QTest::newRow("undecodable registry, forced")
                << "undecodable" << QStringList{"block", "on", "--device", "6F1C…", "--force"}
                << QStringList{"6F1C…"};
    }
    void published()
    {
        QFETCH(QString, store);
        QFETCH(QStringList, args);
        QFETCH(QStringList, targets);
        prepare(store);

        const TestHome::ProgramResult result = run(args);
        QVERIFY2(result.exitCode == 0, result.err);
        const std::optional<SyncedBlockState> state
                = SyncedBlockState::decode(run({"get", "syncedBlockState"}).out);
        QVERIFY(state);
        QCOMPARE(state->isBlocking, args[1] == "on");
        QCOMPARE(state->targetDeviceIDs, QSet<QString>(targets.cbegin(), targets.cend()));
        QVERIFY(qAbs(state->updatedAt - ReferenceDate::now()) < 60);
        QCOMPARE(run({"state"}).out.contains("Blocking: on"), state->isBlocking);
    }
    void refused_data()
    {
        QTest::addColumn<QString>("store");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("said");

        const auto usage = [](const char *name, const QStringList &args, const char *said) {
            QTest::newRow(name) << "" << args << 2 << QByteArray(said);
        };
        usage("no command", {}, "no command");
        usage("unknown command", {"jump"}, "unknown command");
        usage("block without on/off", {"block"}, "block:");
        usage("device without id", {"block", "on", "--device"}, "--device");
        usage("put key with slash", {"put", "../escape"}, "not a usable key");
        usage("put key with a bidi override", {"put", "a\u202eb"}, "put: a\\u{202e}b is not");
        usage("put key behind a BOM", {"put", QChar(0xfeff) + QStringLiteral("syncedBlockState")},
              "byte-order mark");
        usage("off for a while", {"block", "off", "--for", "1h"}, "go with 'on'");
        usage("a bad duration", {"block", "on", "--for", "1d"}, "--for takes");
        usage("for and until", {"block", "on", "--for", "1h", "--until", "17:00"}, "not both");
        usage("schedule of bad days", {"schedule", "add", "mo-fr", "09:00-10:00"}, "not a list");
        usage("remove what is not there", {"schedule", "remove", "1"}, "schedule remove N");
        QTest::newRow("get what is not stored")
                << "" << QStringList{"get", "nothing-here"} << 1 << QByteArray("nothing-here");
        // An empty target set would be published as a success that applies nowhere.
        QTest::newRow("nothing to target")
                << "" << QStringList{"block", "on"} << 1 << QByteArray("no device to target");

        const auto named = [](const char *name, const QStringList &devices) {
            QStringList args{"block", "on"};
            for (const QString &device : devices)
                args << "--device" << device;
            QTest::newRow(name) << "registry" << args << 2 << QByteArray("vorn-phone: block: ");
        };
        named("lower-case copy", {fresh.toLower()});
        named("in braces", {'{' + fresh + '}'});
        named("unregistered UUID", {unregistered});
        named("not a UUID", {"6F1C…"});
        named("one of two unknown", {fresh, unregistered});

        for (const QStringList &args :
             {QStringList{"devices"}, QStringList{"state"}, QStringList{"block", "on"}}) {
            QTest::addRow("%s, undecodable", qPrintable(args[0]))
                    << "undecodable" << args << 1 << QByteArray("undecodable");
        }
        QTest::newRow("named, undecodable registry")
                << "undecodable" << QStringList{"block", "on", "--device", "X"} << 2
                << QByteArray("block:");
        for (const QStringList &args : {QStringList{"state"}, QStringList{"put", "k"},
                                        QStringList{"block", "on", "--device", "X"}}) {
            QTest::addRow("%s, store not a folder", qPrintable(args[0]))
                    << "not a folder" << args << 1 << QByteArray("not a readable folder");
        }
    }
    void refused()
    {
        QFETCH(QString, store);
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, said);
        prepare(store);
        const QByteArray published = run({"get", "syncedBlockState"}).out;

        // One line saying why, and nothing published.
        const TestHome::ProgramResult result = run(args, "bytes");
        QCOMPARE(result.exitCode, exitCode);
        QVERIFY(result.out.isEmpty());
        QVERIFY2(result.err.startsWith("vorn-phone: ") && result.err.count('\n') == 1, result.err);
        QVERIFY2(result.err.contains(said), result.err);
        QCOMPARE(run({"get", "syncedBlockState"}).out, published);
        QVERIFY(!QFileInfo::exists(m_home.cloudFolder() + "/../escape"));
    }
    void sessions_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<double>("lasts"); // endsAt - updatedAt; 0: no end
        QTest::addColumn<bool>("locked");
        QTest::newRow("for 90m") << QStringList{"--for", "90m"} << 5400.0 << false;
        QTest::newRow("for 1h30m45s, locked")
                << QStringList{"--for", "1h30m45s", "--locked"} << 5445.0 << true;
        QTest::newRow("locked, no end") << QStringList{"--locked"} << 0.0 << true;
    }
    void sessions()
    {
        QFETCH(QStringList, options);
        QFETCH(double, lasts);
        QFETCH(bool, locked);
        prepare("registry");
        QCOMPARE(run(QStringList{"block", "on"} + options).exitCode, 0);
        const SyncedBlockState state
                = SyncedBlockState::decode(run({"get", "syncedBlockState"}).out).value();
        QCOMPARE(state.endsAt.has_value(), lasts > 0);
        QCOMPARE(state.endsAt.value_or(state.updatedAt) - state.updatedAt, lasts);
        QCOMPARE(state.locked.value_or(false), locked);
        // --until: the next time the local clock shows it, within a day.
        QCOMPARE(run({"block", "on", "--until", "00:00"}).exitCode, 0);
        const double until
                = SyncedBlockState::decode(run({"get", "syncedBlockState"}).out)->endsAt.value();
        QCOMPARE(ReferenceDate::toDateTime(until).toLocalTime().time(), QTime(0, 0));
    }
    void scheduleAddListRemove()
    {
        prepare("registry");
        QCOMPARE(run({"schedule", "add", "fri-mon", "22:00-06:00", "--locked"}).exitCode, 0);
        QCOMPARE(run({"schedule", "add", "tue,thu", "09:00-12:30", "--device", "X", "--force"})
                         .exitCode,
                 0);
        QCOMPARE(run({"schedule", "list"}).out,
                 "1  mon,fri,sat,sun  22:00-06:00  locked  for " + fresh.toUtf8()
                         + "\n2  tue,thu  09:00-12:30  for X\n");
        QCOMPARE(run({"schedule", "remove", "1"}).exitCode, 0);
        const BlockSchedule schedule
                = BlockSchedule::decode(run({"get", "blockSchedule"}).out).value();
        QCOMPARE(schedule.windows.size(), 1);
        QCOMPARE(schedule.windows[0].targetDeviceIDs, QSet<QString>{"X"});
        QCOMPARE(schedule.windows[0].days, (QSet<int>{2, 4}));
    }

private:
    TestHome::ProgramResult run(const QStringList &args, const QByteArray &input = {}) const
    {
        return m_home.runPhone(args, input, m_cloud);
    }
    // Fills the store: "registry" (three devices), "undecodable" (a registry and a state that do
    // not decode), "not a folder" (the cloud folder is a file), else nothing.
    void prepare(const QString &store)
    {
        m_cloud = store == "not a folder" ? m_home.path("plain-file") : QString();
        if (store == "not a folder")
            QVERIFY(TestHome::writeFile(m_cloud, "x"));
        if (store == "undecodable") {
            QCOMPARE(run({"put", "deviceRegistry"}, "[]").exitCode, 0);
            QCOMPARE(run({"put", "syncedBlockState"}, "{\"isBlocking\":1}").exitCode, 0);
        }
        m_now = ReferenceDate::now();
        if (store == "registry")
            storeRegistry({{fresh, {fresh, SyncDeviceType::mac, "New", m_now - 60, {}}},
                           {old, {old, SyncDeviceType::mac, "Old", m_now - 40 * 86400, {}}},
                           {phone, {phone, SyncDeviceType::iPhone, "Phone", m_now, {}}}});
    }
    void storeRegistry(const DeviceRegistryMap &registry)
    {
        QCOMPARE(run({"put", "deviceRegistry"}, RegistryValue::encode(registry).value()).exitCode,
                 0);
    }

    TestHome m_home;
    QString m_cloud; // empty: the home's own cloud folder
    double m_now = 0;
};

QTEST_GUILESS_MAIN(tst_VornPhone)
#include "tst_vornphone.moc"
