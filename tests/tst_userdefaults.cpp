#include "testhome.h"
#include "userdefaults_linux.h"

#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using OptionalStrings = std::optional<QStringList>;
Q_DECLARE_METATYPE(OptionalStrings)

class tst_UserDefaults : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void readsValuesByType_data();
    void readsValuesByType();
    void undecodableFileGivesDefaultsAndIsKept_data();
    void undecodableFileGivesDefaultsAndIsKept();
    void linksAreNeverFollowed_data();
    void linksAreNeverFollowed();
    void sweepsTemporariesOfGoneWriters();
    void writesAtomicallyAndPrivately();
    void concurrentWritersLoseNoKey();

private:
    QString file() const { return m_dir->filePath(QStringLiteral("config/vorn/defaults.json")); }
    QString folder() const { return QFileInfo(file()).path(); }
    static QJsonObject parsed(const QByteArray &b) { return QJsonDocument::fromJson(b).object(); }

    std::unique_ptr<QTemporaryDir> m_dir;
};

void tst_UserDefaults::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void tst_UserDefaults::readsValuesByType_data()
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

void tst_UserDefaults::readsValuesByType()
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

void tst_UserDefaults::undecodableFileGivesDefaultsAndIsKept_data()
{
    QTest::addColumn<QString>("make");
    // Where what stood there is afterwards: "corrupt" (kept as a .corrupt- backup), "aside"
    // (moved aside, not a file), "in place" (cannot be read: never replaced), "" (nothing to keep).
    QTest::addColumn<QString>("kept");
    QTest::newRow("malformed") << "printf '{\"isBlocking\": tru' > defaults.json"
                               << "corrupt";
    QTest::newRow("array") << "printf '[true]' > defaults.json"
                           << "corrupt";
    QTest::newRow("deeply nested")
            << "awk 'BEGIN{for(i=0;i<100000;i++)printf \"[\"}' > defaults.json"
            << "corrupt";
    QTest::newRow("blank") << "printf ' \\n ' > defaults.json"
                           << "";
    QTest::newRow("directory") << "mkdir defaults.json"
                               << "aside";
    QTest::newRow("FIFO") << "mkfifo defaults.json"
                          << "aside";
    QTest::newRow("unreadable") << "printf '{}' > defaults.json && chmod 000 defaults.json"
                                << "in place";
    QTest::newRow("50 MB") << "truncate -s 50M defaults.json"
                           << "in place";
}

void tst_UserDefaults::undecodableFileGivesDefaultsAndIsKept()
{
    QFETCH(QString, make);
    QFETCH(QString, kept);
    if (QByteArray(QTest::currentDataTag()) == "unreadable" && ::geteuid() == 0)
        QSKIP("root reads a mode-000 file; the 50 MB row covers a file that cannot be read");
    QVERIFY(QDir().mkpath(folder()));
    QProcess shell;
    shell.setWorkingDirectory(folder());
    shell.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), make});
    QVERIFY(shell.waitForFinished(30000) && shell.exitCode() == 0);
    const auto snapshot = [](const QString &path) {
        const QFileInfo info(path);
        return std::tuple(info.isFile() + 2 * info.isDir(), info.size(),
                          info.isFile() && info.size() < 1024 ? TestHome::readFile(path)
                                                              : QByteArray());
    };
    const auto before = snapshot(file());

    LinuxUserDefaults defaults(file());
    QCOMPARE(defaults.boolForKey(QStringLiteral("isBlocking")), false);
    QCOMPARE(defaults.stringArrayForKey(QStringLiteral("blockedBundleIDs")), std::nullopt);
    defaults.setBool(true, QStringLiteral("isBlocking"));
    QCOMPARE(defaults.boolForKey(QStringLiteral("isBlocking")), kept != "in place");

    const auto moved = [this](const char *pattern) {
        return QDir(folder()).entryList({QString::fromLatin1(pattern)},
                                        QDir::AllEntries | QDir::Hidden | QDir::System);
    };
    const QStringList corrupt = moved("defaults.json.corrupt-*");
    const QStringList aside = moved(".defaults.json.moved-aside-*");
    QCOMPARE(corrupt.size(), kept == "corrupt" ? 1 : 0);
    QCOMPARE(aside.size(), kept == "aside" ? 1 : 0);
    if (kept == "corrupt")
        QVERIFY(snapshot(folder() + QLatin1Char('/') + corrupt.first()) == before);
    if (kept == "aside")
        QVERIFY(snapshot(folder() + QLatin1Char('/') + aside.first()) == before);
    if (kept == "in place")
        QVERIFY(snapshot(file()) == before);
}

void tst_UserDefaults::linksAreNeverFollowed_data()
{
    QTest::addColumn<QString>("target");
    QTest::newRow("a file elsewhere") << m_dir->filePath(QStringLiteral("dotfiles/defaults.json"));
    QTest::newRow("a folder") << m_dir->filePath(QStringLiteral("dotfiles"));
    QTest::newRow("a device") << QStringLiteral("/dev/null");
    QTest::newRow("nothing") << m_dir->filePath(QStringLiteral("missing.json"));
}

void tst_UserDefaults::linksAreNeverFollowed()
{
    QFETCH(QString, target);
    const QByteArray real = R"({"isBlocking": true, "blockedBundleIDs": ["a"]})";
    QVERIFY(TestHome::writeFile(m_dir->filePath(QStringLiteral("dotfiles/defaults.json")), real));
    QVERIFY(QDir().mkpath(folder()) && QFile::link(target, file()));
    const QFileInfo before(target);

    // Neither read nor written through: the link is moved aside inside the folder, as a link.
    LinuxUserDefaults defaults(file());
    QCOMPARE(defaults.boolForKey(QStringLiteral("isBlocking")), false);
    defaults.setStringArray({QStringLiteral("b")}, QStringLiteral("blockedBundleIDs"));
    QVERIFY(QFileInfo(file()).isFile() && !QFileInfo(file()).isSymLink());
    QCOMPARE(parsed(TestHome::readFile(file())), parsed(R"({"blockedBundleIDs": ["b"]})"));
    const QStringList aside
            = QDir(folder()).entryList({QStringLiteral(".defaults.json.moved-aside-*")},
                                       QDir::AllEntries | QDir::Hidden | QDir::System);
    QCOMPARE(aside.size(), 1);
    QCOMPARE(QFileInfo(folder() + QLatin1Char('/') + aside.first()).symLinkTarget(),
             QFileInfo(target).absoluteFilePath());
    QCOMPARE(TestHome::readFile(m_dir->filePath(QStringLiteral("dotfiles/defaults.json"))), real);
    QCOMPARE(QFileInfo(target).exists(), before.exists());
    QCOMPARE(QFileInfo(target).isDir(), before.isDir());
    QVERIFY(!QFileInfo::exists(target + QStringLiteral(".corrupt")));
}

void tst_UserDefaults::sweepsTemporariesOfGoneWriters()
{
    QProcess gone;
    gone.start(QStringLiteral("/bin/true"));
    QVERIFY(gone.waitForFinished());
    const QString goneTemp
            = folder() + "/.defaults.json.tmp-" + QString::number(gone.processId()) + "-a";
    const QString liveTemp = folder() + "/.defaults.json.tmp-" + QString::number(::getpid()) + "-b";
    QVERIFY(TestHome::writeFile(goneTemp, "{}") && TestHome::writeFile(liveTemp, "{}"));
    LinuxUserDefaults defaults(file());
    QVERIFY(!QFileInfo::exists(goneTemp));
    QVERIFY(QFileInfo::exists(liveTemp));
}

void tst_UserDefaults::writesAtomicallyAndPrivately()
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

void tst_UserDefaults::concurrentWritersLoseNoKey()
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

QTEST_GUILESS_MAIN(tst_UserDefaults)
#include "tst_userdefaults.moc"
