#include "testhome.h"
#include "userdefaults_linux.h"

#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using OptionalStrings = std::optional<QStringList>;
Q_DECLARE_METATYPE(OptionalStrings)

class TestUserDefaults : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void readsValuesByType_data();
    void readsValuesByType();
    void undecodableFileGivesDefaultsAndIsKept_data();
    void undecodableFileGivesDefaultsAndIsKept();
    void rewriteKeepsOtherKeysAndTheLink();
    void writesAtomicallyAndPrivately();
    void concurrentWritersLoseNoKey();

private:
    QString file() const { return m_dir->filePath(QStringLiteral("config/vorn/defaults.json")); }
    QString folder() const { return QFileInfo(file()).path(); }
    static QJsonObject parsed(const QByteArray &b) { return QJsonDocument::fromJson(b).object(); }

    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestUserDefaults::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestUserDefaults::readsValuesByType_data()
{
    QTest::addColumn<QByteArray>("json"); // the value stored under "k"; empty: key absent
    QTest::addColumn<bool>("asBool");
    QTest::addColumn<OptionalStrings>("asStrings");
    for (const char *json : {"true", "1", "-3", "0.25", "\"YES\"", "\"yes\"", "\" True \"", "\"1\"",
                             "\"007\"", "\"-2\"", "\"99999999999999999999999\""})
        QTest::newRow(json) << QByteArray(json) << true << OptionalStrings();
    for (const char *json : {"", "false", "0", "\"0\"", "\"-000\"", "\"NO\"", "\"false\"", "\"\"",
                             "\"-\"", "\"2x\"", "\"yesterday\"", "null", "[true]", R"(["a",1])",
                             R"(["a",null])", R"([["a"]])", R"({"0":"a"})"})
        QTest::newRow(*json ? json : "absent") << QByteArray(json) << false << OptionalStrings();
    QTest::newRow("strings") << QByteArray(R"(["org.gnome.Calculator","é𝄞"])") << false
                             << OptionalStrings({"org.gnome.Calculator", "é𝄞"});
    QTest::newRow("empty array") << QByteArray("[]") << false << OptionalStrings(QStringList());
}

void TestUserDefaults::readsValuesByType()
{
    QFETCH(QByteArray, json);
    QFETCH(bool, asBool);
    QFETCH(OptionalStrings, asStrings);
    QVERIFY(TestHome::writeFile(file(),
                                json.isEmpty() ? "{\"other\":true}" : "{\"k\":" + json + "}"));
    LinuxUserDefaults defaults(file());
    QCOMPARE(defaults.boolForKey(QStringLiteral("k")), asBool);
    QCOMPARE(defaults.stringArrayForKey(QStringLiteral("k")), asStrings);
}

void TestUserDefaults::undecodableFileGivesDefaultsAndIsKept_data()
{
    QTest::addColumn<QString>("make");
    QTest::addColumn<bool>("keep"); // whether there is anything worth keeping
    QTest::newRow("malformed") << "printf '{\"isBlocking\": tru' > defaults.json" << true;
    QTest::newRow("array") << "printf '[true]' > defaults.json" << true;
    QTest::newRow("deeply nested")
            << "awk 'BEGIN{for(i=0;i<100000;i++)printf \"[\"}' > defaults.json" << true;
    QTest::newRow("blank") << "printf ' \\n ' > defaults.json" << false;
    QTest::newRow("directory") << "mkdir defaults.json" << true;
    QTest::newRow("FIFO") << "mkfifo defaults.json" << true;
    QTest::newRow("unreadable") << "printf '{}' > defaults.json && chmod 000 defaults.json" << true;
    QTest::newRow("50 MB") << "truncate -s 50M defaults.json" << true;
}

void TestUserDefaults::undecodableFileGivesDefaultsAndIsKept()
{
    QFETCH(QString, make);
    QFETCH(bool, keep);
    if (QByteArray(QTest::currentDataTag()) == "unreadable" && ::geteuid() == 0)
        QSKIP("root reads a mode-000 file; the directory and FIFO rows cover unreadable files");
    QVERIFY(QDir().mkpath(folder()));
    QProcess shell;
    shell.setWorkingDirectory(folder());
    shell.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), make});
    QVERIFY(shell.waitForFinished(30000) && shell.exitCode() == 0);
    const auto snapshot = [](const QString &path) {
        const QFileInfo info(path);
        return std::pair(info.isFile() + 2 * info.isDir(),
                         info.isFile() ? TestHome::readFile(path) : QByteArray());
    };
    const auto before = snapshot(file());

    LinuxUserDefaults defaults(file());
    QCOMPARE(defaults.boolForKey(QStringLiteral("isBlocking")), false);
    QCOMPARE(defaults.stringArrayForKey(QStringLiteral("blockedBundleIDs")), std::nullopt);
    defaults.setBool(true, QStringLiteral("isBlocking"));
    QCOMPARE(defaults.boolForKey(QStringLiteral("isBlocking")), true);

    const QStringList backups = QDir(folder()).entryList(
            {QStringLiteral("defaults.json.corrupt-*")}, QDir::AllEntries | QDir::System);
    QCOMPARE(backups.size(), keep ? 1 : 0);
    if (keep)
        QVERIFY(snapshot(folder() + QLatin1Char('/') + backups.first()) == before);
}

void TestUserDefaults::rewriteKeepsOtherKeysAndTheLink()
{
    // A dotfile manager keeps the real file elsewhere and links it in.
    const QString real = m_dir->filePath(QStringLiteral("dotfiles/defaults.json"));
    QVERIFY(TestHome::writeFile(real, R"({"isBlocking": false, "future": {"x": [1, "two", null]},
                                         "n": 3.5, "blockedBundleIDs": ["a"]})"));
    QVERIFY(QDir().mkpath(folder()) && QFile::link(real, file()));
    LinuxUserDefaults defaults(file());
    defaults.setStringArray({QStringLiteral("b"), QStringLiteral("c")},
                            QStringLiteral("blockedBundleIDs"));
    defaults.setBool(true, QStringLiteral("isBlocking"));
    QVERIFY(QFileInfo(file()).isSymLink());
    QCOMPARE(parsed(TestHome::readFile(real)), parsed(R"({"isBlocking": true, "n": 3.5,
                 "future": {"x": [1, "two", null]}, "blockedBundleIDs": ["b", "c"]})"));
    // Another process's change is read at once.
    QVERIFY(TestHome::writeFile(real, R"({"isBlocking": false, "blockedBundleIDs": []})"));
    QCOMPARE(defaults.boolForKey(QStringLiteral("isBlocking")), false);
    QCOMPARE(defaults.stringArrayForKey(QStringLiteral("blockedBundleIDs")), QStringList());
}

void TestUserDefaults::writesAtomicallyAndPrivately()
{
    ::umask(022);
    LinuxUserDefaults(file()).setBool(true, QStringLiteral("isBlocking"));
    struct stat info = {};
    QCOMPARE(::stat(QFile::encodeName(file()).constData(), &info), 0);
    QCOMPARE(info.st_mode & 07777, 0600u);
    QCOMPARE(::stat(QFile::encodeName(folder()).constData(), &info), 0);
    QCOMPARE(info.st_mode & 07777, 0700u);
    QCOMPARE(QDir(folder()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("defaults.json")});
    QCOMPARE(parsed(TestHome::readFile(file())),
             QJsonObject({{QStringLiteral("isBlocking"), true}}));
}

void TestUserDefaults::concurrentWritersLoseNoKey()
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
    QCOMPARE(parsed(TestHome::readFile(file())).size(), threads * writes);
}

QTEST_GUILESS_MAIN(TestUserDefaults)
#include "tst_userdefaults.moc"
