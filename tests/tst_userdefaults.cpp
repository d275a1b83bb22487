#include "testhome.h"
#include "userdefaults_linux.h"

#include <memory>
#include <unistd.h>

using OptionalStrings = std::optional<QStringList>;
Q_DECLARE_METATYPE(OptionalStrings)

class tst_UserDefaults : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;

    QString file() const { return m_dir->filePath("config/vorn/defaults.json"); }
    QString folder() const { return QFileInfo(file()).path(); }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
    }

    void readsValuesByType_data()
    {
        QTest::addColumn<QByteArray>("json"); // the value stored under "k"; empty: key absent
        QTest::addColumn<bool>("asBool");
        QTest::addColumn<OptionalStrings>("asStrings");
        for (const char *json : {"true", "1", "-3", "0.25", "\"YES\"", "\"yes\"", "\" True \"",
                                 "\"1\"", "\"007\"", "\"-2\"", "\"99999999999999999999999\""})
            QTest::newRow(json) << QByteArray(json) << true << OptionalStrings();
        for (const char *json : {"", "false", "0", "\"0\"", "\"-000\"", "\"NO\"", "\"false\"",
                                 "\"\"", "\"-\"", "\"2x\"", "\"yesterday\"", "null", "[true]",
                                 R"(["a",1])", R"(["a",null])", R"([["a"]])", R"({"0":"a"})"})
            QTest::newRow(*json ? json : "absent")
                    << QByteArray(json) << false << OptionalStrings();
        QTest::newRow("strings") << QByteArray(R"(["org.gnome.Calculator","é𝄞"])") << false
                                 << OptionalStrings({"org.gnome.Calculator", "é𝄞"});
        QTest::newRow("empty array") << QByteArray("[]") << false << OptionalStrings(QStringList());
    }
    void readsValuesByType()
    {
        QFETCH(QByteArray, json);
        QVERIFY(TestHome::writeFile(file(),
                                    json.isEmpty() ? "{\"other\":true}" : "{\"k\":" + json + "}"));
        LinuxUserDefaults defaults(file());
        QTEST(defaults.boolForKey("k"), "asBool");
        QTEST(defaults.stringArrayForKey("k"), "asStrings");
    }

    void undecodableFileGivesDefaultsAndIsKept_data()
    {
        QTest::addColumn<QString>("make");
        // Where what stood there is afterwards: "corrupt" (kept as a .corrupt- backup), "aside"
        // (moved aside, not a file), "in place" (cannot be read: never replaced), "" (nothing).
        QTest::addColumn<QString>("kept");
        const auto row = [](const char *name, const QString &make, const QString &kept) {
            QTest::newRow(name) << make << kept;
        };
        row("malformed", "printf '{\"isBlocking\": tru' > defaults.json", "corrupt");
        row("array", "printf '[true]' > defaults.json", "corrupt");
        row("unknown escape", "printf '{\"k\": \"\\\\x41\"}' > defaults.json", "corrupt");
        row("blank", "printf ' \\n ' > defaults.json", "");
        row("directory", "mkdir defaults.json", "aside");
        row("FIFO", "mkfifo defaults.json", "aside");
        row("unreadable", "printf '{}' > defaults.json && chmod 000 defaults.json", "in place");
        row("50 MB", "truncate -s 50M defaults.json", "in place");
    }
    void undecodableFileGivesDefaultsAndIsKept()
    {
        QFETCH(QString, make);
        QFETCH(QString, kept);
        if (QByteArray(QTest::currentDataTag()) == "unreadable" && ::geteuid() == 0)
            QSKIP("root reads a mode-000 file; the 50 MB row covers a file that cannot be read");
        QVERIFY(QDir().mkpath(folder()));
        QCOMPARE(TestHome::run("/bin/sh", {"-c", "cd \"$0\" && " + make, folder()}).exitCode, 0);
        const auto snapshot = [](const QString &path) {
            const QFileInfo info(path);
            return std::tuple(info.isFile() + 2 * info.isDir(), info.size(),
                              info.isFile() && info.size() < 1024 ? TestHome::readFile(path)
                                                                  : QByteArray());
        };
        const auto before = snapshot(file());

        LinuxUserDefaults defaults(file());
        QCOMPARE(defaults.boolForKey("isBlocking"), false);
        QCOMPARE(defaults.stringArrayForKey("blockedBundleIDs"), std::nullopt);
        defaults.setBool(true, "isBlocking");
        QCOMPARE(defaults.boolForKey("isBlocking"), kept != "in place");

        const QStringList corrupt = QDir(folder()).entryList({"defaults.json.corrupt-*"});
        const QStringList aside = TestHome::movedAside(folder(), "defaults.json");
        QCOMPARE(corrupt.size(), kept == "corrupt" ? 1 : 0);
        QCOMPARE(aside.size(), kept == "aside" ? 1 : 0);
        if (!kept.isEmpty())
            QVERIFY(snapshot(kept == "in place" ? file() : folder() + '/' + (corrupt + aside)[0])
                    == before);
    }

    void concurrentWritersLoseNoKey()
    {
        LinuxUserDefaults defaults(file());
        constexpr int threads = 6, writes = 30;
        std::vector<std::unique_ptr<QThread>> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back(QThread::create([&defaults, t] {
                for (int i = 0; i < writes; ++i)
                    defaults.setBool(true, QStringLiteral("k%1-%2").arg(t).arg(i));
            }));
            workers.back()->start();
        }
        for (auto &worker : workers)
            QVERIFY(worker->wait(60000));
        QCOMPARE(QJsonDocument::fromJson(TestHome::readFile(file())).object().size(),
                 threads * writes);
    }
};

QTEST_GUILESS_MAIN(tst_UserDefaults)
#include "tst_userdefaults.moc"
