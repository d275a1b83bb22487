#include "referencedate.h"
#include "sessionrules.h"

#include <QTest>

namespace {
const QString self = QStringLiteral("SELF");
}

// The session rules as scripts over a fake clock. Each script starts at a local time in a zone;
// times in steps are seconds after that start. Steps:
//   rec on|off [end=S] [lock] [at=S] [other]   apply a record (at: updatedAt; other: not for us)
//   win DAYS HH:MM-HH:MM [lock]                add a schedule window (DAYS: mon,tue or all)
//   +S | wall+S | wall-S | reboot | restart    time passes | the wall clock alone moves |
//                                              a reboot (wall unchanged) | Vorn restarts
//   zone NAME                                  the computer's time zone changes
//   on|off [until=S] [lock] [schedule]         evaluate and expect this decision
//          [lockend=S]                         (lockend: when the lock ends)
//   log TEXT                                   the last step logged a line containing TEXT
class tst_SessionRules : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void scripts_data();
    void scripts();
    void scheduleRecord_data();
    void scheduleRecord();
};

void tst_SessionRules::scripts_data()
{
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("zone");
    QTest::addColumn<QString>("script");
    const auto row
            = [](const char *name, const char *script, const char *start = "2024-03-25T08:00",
                 const char *zone = "Europe/Berlin") {
                  QTest::newRow(name) << start << zone << script;
              };
    row("plain record, no end", "rec on; on; +90000; on; rec off; off");
    row("timed session ends by itself",
        "rec on end=3600; on until=3600; +3599; on; +1; log Blocking ended 2024-03-25 09:00:00; "
        "off");
    row("passed end applies as off", "rec on; on; +100; rec on end=50; off");
    row("shorter unlocked session applies", "rec on end=3600; rec on end=600; on until=600");
    row("locked ignores off, ends on time",
        "rec on end=3600 lock; on until=3600 lock; +60; rec off; log Locked until 2024-03-25 "
        "09:00:00; on until=3600 lock; +3540; off");
    row("locked ignores earlier end", "rec on end=3600 lock; rec on end=600; on until=3600 lock");
    row("locked ignores being dropped",
        "rec on end=3600 lock; rec on end=7200 other; on until=3600");
    row("locked takes an extension", "rec on end=3600 lock; rec on end=7200; on until=7200 lock");
    row("held-back record applies at lock end",
        "rec on end=90000 lock; +10; rec off at=10; on lock; +86390; on; rec off at=10; off");
    row("lock lasts 24 h at most", "rec on lock; on lock; +86400; on; rec off; off");
    row("a lock ends at the 24 h cap, the session later",
        "rec on end=172800 lock; on until=172800 lockend=86400 lock; +60; on lockend=86400");
    row("wall clock forward does not end",
        "rec on end=3600; wall+7200; on until=10800; +3599; on; +1; off");
    row("wall clock back does not extend", "rec on end=3600; wall-7200; +3600; off");
    row("same record again keeps its clock",
        "rec on end=3600 at=0; wall+7200; rec on end=3600 at=0; on; +3600; off; wall-9000; rec on "
        "end=3600 at=0; off");
    row("restart mid-session continues",
        "rec on end=3600 lock; wall+9000; restart; +60; on lock; +3540; off");
    row("reboot: the wall clock decides", "rec on end=3600; +600; wall+3000; reboot; off");
    row("window blocks inside only",
        "win mon 09:00-12:00; off; +3600; on until=14400 schedule; +10799; on; +1; off");
    row("window for another day", "win tue 09:00-12:00; +3600; off");
    row("window across midnight",
        "win mon 23:00-01:00; +54000; on until=61200 schedule; +7199; on; +1; off",
        "2024-03-25T08:00");
    row("window across midnight from Sunday", "win sun 22:00-06:00; on until=7200 schedule",
        "2024-03-25T04:00");
    row("phone off pauses an unlocked window",
        "win all 09:00-12:00; +3600; on; rec off; off; +10800; off; +75600; on");
    row("phone off before the window does not pause",
        "rec off at=0; win mon 09:00-12:00; +3600; on");
    row("locked window cannot be paused", "win mon 09:00-12:00 lock; +3600; rec off; on lock");
    row("phone and window: the later end",
        "win mon 09:00-12:00; rec on end=18000; +3600; on until=18000; +11000; on until=18000; "
        "+3400; off");
    row("spring forward: 01:00-04:00 lasts 2 h",
        "win sun 01:00-04:00; on until=7200 schedule; +7199; on; +1; off", "2024-03-31T01:00");
    row("spring forward: start in the gap", "win sun 02:30-05:00; off; +3599; off; +1; on",
        "2024-03-31T01:00");
    row("fall back: 01:00-04:00 lasts 4 h",
        "win sun 01:00-04:00; on until=14400; +14399; on; +1; off", "2024-10-27T01:00");
    row("zone change cannot shorten a window",
        "win mon 09:00-12:00; +3600; zone Europe/Helsinki; on until=14400; +10799; on; +1; off");
    row("zone change extends a window",
        "win mon 09:00-12:00; +7200; zone Europe/London; on until=18000");
    row("zone change starts a window",
        "win mon 09:00-12:00; off; zone Asia/Tokyo; off; zone Europe/Helsinki; on until=10800");
}

void tst_SessionRules::scripts()
{
    QFETCH(QString, start);
    QFETCH(QString, zone);
    QFETCH(QString, script);
    SessionClock::Reading now{"boot-1", 1000, 0, QTimeZone(zone.toLatin1())};
    const QDateTime local = QDateTime::fromString(start, Qt::ISODate);
    now.wall = double(QDateTime(local.date(), local.time(), now.zone).toSecsSinceEpoch())
            - ReferenceDate::unixOffset;
    const double base = now.wall;
    SessionState state;
    BlockSchedule schedule;
    QList<QByteArray> log;
    for (const QString &stepText : script.split(QLatin1String("; "))) {
        QStringList step = stepText.split(QLatin1Char(' '));
        const QString verb = step.takeFirst();
        const auto option = [&step](const QString &name) -> std::optional<double> {
            for (const QString &word : std::as_const(step))
                if (word.startsWith(name + '='))
                    return word.mid(name.size() + 1).toDouble();
            return step.contains(name) ? std::optional<double>(0) : std::nullopt;
        };
        if (verb != "log")
            log.clear();
        if (verb == "rec") {
            SyncedBlockState record{step.first() == "on",
                                    {option("other") ? "OTHER" : self},
                                    option("at") ? base + *option("at") : now.wall};
            if (option("end"))
                record.endsAt = base + *option("end");
            if (option("lock"))
                record.locked = true;
            SessionRules::applyRecord(state, record, record.targetDeviceIDs.contains(self), now,
                                      log);
        } else if (verb == "win") {
            ScheduleWindow window;
            for (int day = 1; day <= 7; ++day)
                if (step[0] == "all" || step[0].contains(BlockSchedule::dayName(day)))
                    window.days.insert(day);
            window.start = *BlockSchedule::minutesFromText(step[1].left(5));
            window.end = *BlockSchedule::minutesFromText(step[1].mid(6));
            window.targetDeviceIDs = {self};
            window.locked = option("lock").has_value();
            schedule.windows.append(window);
        } else if (verb.startsWith('+')) {
            now.boot += verb.mid(1).toDouble();
            now.wall += verb.mid(1).toDouble();
        } else if (verb.startsWith("wall")) {
            now.wall += verb.mid(4).toDouble();
        } else if (verb == "reboot") {
            now.bootID = "boot-2";
            now.boot = 5;
        } else if (verb == "restart") {
            state = SessionState::decode(state.encode()).value();
        } else if (verb == "zone") {
            now.zone = QTimeZone(step.first().toLatin1());
        } else if (verb == "log") {
            QVERIFY2(!log.isEmpty() && log.last().contains(step.join(' ').toUtf8()),
                     qPrintable(stepText + " in: " + log.join(" | ")));
            continue;
        }
        const SessionDecision decision = SessionRules::evaluate(state, schedule, self, now, log);
        if (verb != "on" && verb != "off")
            continue;
        QVERIFY2(decision.blocking == (verb == "on"), qPrintable(stepText));
        if (option("until"))
            QCOMPARE(decision.until.value_or(-1) - base, *option("until"));
        if (option("lockend"))
            QCOMPARE(decision.lockedUntil.value_or(-1) - base, *option("lockend"));
        if (verb == "on" && step.contains("lock"))
            QVERIFY2(decision.locked, qPrintable(stepText));
        if (step.contains("schedule"))
            QCOMPARE(decision.reason, SessionDecision::Reason::schedule);
    }
}

void tst_SessionRules::scheduleRecord_data()
{
    QTest::addColumn<QByteArray>("window"); // one window of {"windows":[...],"updatedAt":5}
    QTest::addColumn<bool>("accepted");
    QTest::newRow("across midnight, repeated day, extra member")
            << QByteArray(R"({"days":["mon","fri","mon"],"start":"23:30","end":"06:00",)"
                          R"("targetDeviceIDs":["A"],"locked":true,"x":1})")
            << true;
    const QByteArray good
            = R"({"days":["mon"],"start":"09:00","end":"10:00","targetDeviceIDs":[]})";
    QTest::newRow("plain") << good << true;
    const std::pair<const char *, const char *> faults[]{{R"(["mon"])", "[]"},
                                                         {R"(["mon"])", R"(["Mon"])"},
                                                         {"10:00", "24:00"},
                                                         {"09:00", "9:00"},
                                                         {"10:00", "09:00"},
                                                         {R"(,"targetDeviceIDs":[])", ""},
                                                         {"[]}", R"([],"locked":"yes"})"}};
    for (const auto &[part, fault] : faults)
        QTest::addRow("%s for %s", fault, part) << QByteArray(good).replace(part, fault) << false;
    QTest::newRow("one good, one bad") << good + ",null" << false;
}

void tst_SessionRules::scheduleRecord()
{
    QFETCH(QByteArray, window);
    QFETCH(bool, accepted);
    const std::optional<BlockSchedule> schedule
            = BlockSchedule::decode(R"({"windows":[)" + window + R"(],"updatedAt":5})");
    QCOMPARE(schedule.has_value(), accepted);
    if (schedule)
        QCOMPARE(BlockSchedule::decode(schedule->encode().value()), schedule);
    QVERIFY(!BlockSchedule::decode(R"({"windows":[]})"));
}

QTEST_GUILESS_MAIN(tst_SessionRules)
#include "tst_sessionrules.moc"
