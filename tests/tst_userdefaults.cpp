#include "userdefaults_linux.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

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
    void cleanup();

    void boolConvertsLikeThePlatform_data();
    void boolConvertsLikeThePlatform();
    void stringArrayKeepsItsType_data();
    void stringArrayKeepsItsType();
    void undecodableFileGivesDefaultsAndIsKept_data();
    void undecodableFileGivesDefaultsAndIsKept();
    void rewriteKeepsOtherKeysAndTypes();
    void writesAtomicallyAndPrivately();
    void writesThroughSymbolicLink();
    void readsChangesOfOtherProcesses();
    void concurrentWritersLoseNoKey();

private:
    QString file() const { return m_dir->filePath(QStringLiteral("config/vorn/defaults.json")); }
    void writeFile(const QByteArray &bytes);
    void runShell(const QString &script);
    QJsonObject fileObject();

    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestUserDefaults::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestUserDefaults::cleanup()
{
    m_dir.reset();
}

void TestUserDefaults::writeFile(const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(file()).path());
    QFile out(file());
    QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(out.write(bytes), bytes.size());
}

void TestUserDefaults::runShell(const QString &script)
{
    QDir().mkpath(QFileInfo(file()).path());
    QProcess shell;
    shell.setWorkingDirectory(QFileInfo(file()).path());
    shell.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), script});
    QVERIFY(shell.waitForFinished(30000));
    QVERIFY2(shell.exitCode() == 0, shell.readAllStandardError().constData());
}

QJsonObject TestUserDefaults::fileObject()
{
    QFile in(file());
    if (!in.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(in.readAll()).object();
}

void TestUserDefaults::boolConvertsLikeThePlatform_data()
{
    QTest::addColumn<QByteArray>("json"); // the value stored under "k"; empty: key absent
    QTest::addColumn<bool>("expected");

    QTest::newRow("absent") << QByteArray() << false;
    QTest::newRow("true") << QByteArray("true") << true;
    QTest::newRow("false") << QByteArray("false") << false;
    QTest::newRow("one") << QByteArray("1") << true;
    QTest::newRow("zero") << QByteArray("0") << false;
    QTest::newRow("negative") << QByteArray("-3") << true;
    QTest::newRow("fraction") << QByteArray("0.25") << true;
    QTest::newRow("\"YES\"") << QByteArray("\"YES\"") << true;
    QTest::newRow("\"yes\"") << QByteArray("\"yes\"") << true;
    QTest::newRow("\"True\"") << QByteArray("\"True\"") << true;
    QTest::newRow("\" true \"") << QByteArray("\" true \"") << true;
    QTest::newRow("\"1\"") << QByteArray("\"1\"") << true;
    QTest::newRow("\"007\"") << QByteArray("\"007\"") << true;
    QTest::newRow("\"-2\"") << QByteArray("\"-2\"") << true;
    QTest::newRow("\"99999999999999999999999\"")
            << QByteArray("\"99999999999999999999999\"") << true;
    QTest::newRow("\"0\"") << QByteArray("\"0\"") << false;
    QTest::newRow("\"-000\"") << QByteArray("\"-000\"") << false;
    QTest::newRow("\"NO\"") << QByteArray("\"NO\"") << false;
    QTest::newRow("\"false\"") << QByteArray("\"false\"") << false;
    QTest::newRow("\"\"") << QByteArray("\"\"") << false;
    QTest::newRow("\"-\"") << QByteArray("\"-\"") << false;
    QTest::newRow("\"2x\"") << QByteArray("\"2x\"") << false;
    QTest::newRow("\"yesterday\"") << QByteArray("\"yesterday\"") << false;
    QTest::newRow("null") << QByteArray("null") << false;
    QTest::newRow("array") << QByteArray("[true]") << false;
    QTest::newRow("object") << QByteArray("{\"a\":true}") << false;
}

void TestUserDefaults::boolConvertsLikeThePlatform()
{
    QFETCH(QByteArray, json);
    QFETCH(bool, expected);
    writeFile(json.isEmpty() ? QByteArray("{\"other\":true}") : "{\"k\":" + json + "}");
    LinuxUserDefaults defaults(file());
    QCOMPARE(defaults.boolForKey(QStringLiteral("k")), expected);
}

void TestUserDefaults::stringArrayKeepsItsType_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<OptionalStrings>("expected");

    QTest::newRow("strings") << QByteArray(R"(["org.gnome.Calculator","firefox-esr"])")
                             << OptionalStrings({QStringLiteral("org.gnome.Calculator"),
                                                 QStringLiteral("firefox-esr")});
    QTest::newRow("empty array") << QByteArray("[]") << OptionalStrings(QStringList());
    QTest::newRow("non-ASCII") << QByteArray(R"(["é","𝄞"])")
                               << OptionalStrings({QStringLiteral("é"), QStringLiteral("𝄞")});
    QTest::newRow("absent") << QByteArray() << OptionalStrings();
    QTest::newRow("number") << QByteArray("5") << OptionalStrings();
    QTest::newRow("single string") << QByteArray("\"a\"") << OptionalStrings();
    QTest::newRow("with a number") << QByteArray(R"(["a",1])") << OptionalStrings();
    QTest::newRow("with null") << QByteArray(R"(["a",null])") << OptionalStrings();
    QTest::newRow("nested array") << QByteArray(R"([["a"]])") << OptionalStrings();
    QTest::newRow("object") << QByteArray(R"({"0":"a"})") << OptionalStrings();
}

void TestUserDefaults::stringArrayKeepsItsType()
{
    QFETCH(QByteArray, json);
    QFETCH(OptionalStrings, expected);
    writeFile(json.isEmpty() ? QByteArray("{}") : "{\"blockedBundleIDs\":" + json + "}");
    LinuxUserDefaults defaults(file());
    QCOMPARE(defaults.stringArrayForKey(QStringLiteral("blockedBundleIDs")), expected);
}

void TestUserDefaults::undecodableFileGivesDefaultsAndIsKept_data()
{
    QTest::addColumn<QString>("make");
    QTest::addColumn<bool>("keep"); // whether there is anything worth keeping

    QTest::newRow("malformed") << "printf '{\"isBlocking\": tru' > defaults.json" << true;
    QTest::newRow("truncated") << "printf '{\"isBlocking\": true, \"blocked' > defaults.json"
                               << true;
    QTest::newRow("trailing junk") << "printf '{\"isBlocking\": true} x' > defaults.json" << true;
    QTest::newRow("array") << "printf '[true]' > defaults.json" << true;
    QTest::newRow("bare string") << "printf '\"isBlocking\"' > defaults.json" << true;
    QTest::newRow("binary junk") << "head -c 4096 /dev/urandom > defaults.json" << true;
    QTest::newRow("deeply nested")
            << "awk 'BEGIN{for(i=0;i<100000;i++)printf \"[\"}' > defaults.json" << true;
    QTest::newRow("empty") << ": > defaults.json" << false;
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
    runShell(make);
    const QString folder = QFileInfo(file()).path();
    const auto snapshot = [&folder](const QString &path) {
        QFileInfo info(path);
        QFile in(path);
        const bool plain = info.isFile() && in.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
        return QStringList{
                QString::number(info.isDir()), QString::number(info.size()),
                QString::fromLatin1(
                        plain ? QCryptographicHash::hash(in.readAll(), QCryptographicHash::Sha256)
                                        .toHex()
                              : QByteArray())};
    };
    const QStringList before = snapshot(file());

    LinuxUserDefaults defaults(file());
    QCOMPARE(defaults.boolForKey(QStringLiteral("isBlocking")), false);
    QCOMPARE(defaults.stringArrayForKey(QStringLiteral("blockedBundleIDs")), std::nullopt);

    defaults.setBool(true, QStringLiteral("isBlocking"));
    QCOMPARE(defaults.boolForKey(QStringLiteral("isBlocking")), true);
    QCOMPARE(defaults.stringArrayForKey(QStringLiteral("blockedBundleIDs")), std::nullopt);

    const QStringList backups = QDir(folder).entryList({QStringLiteral("defaults.json.corrupt-*")},
                                                       QDir::AllEntries | QDir::System);
    if (!keep) {
        QVERIFY(backups.isEmpty());
        return;
    }
    QCOMPARE(backups.size(), 1);
    QCOMPARE(snapshot(folder + QLatin1Char('/') + backups.first()), before);
}

void TestUserDefaults::rewriteKeepsOtherKeysAndTypes()
{
    writeFile(R"({"isBlocking": false, "future": {"x": [1, "two", null]}, "n": 3.5,
                 "blockedBundleIDs": ["a"]})");
    LinuxUserDefaults defaults(file());
    defaults.setStringArray({QStringLiteral("b"), QStringLiteral("c")},
                            QStringLiteral("blockedBundleIDs"));
    defaults.setBool(true, QStringLiteral("isBlocking"));

    const QJsonObject object = fileObject();
    QCOMPARE(object.value(QStringLiteral("future")),
             QJsonObject({{QStringLiteral("x"),
                           QJsonArray({1, QStringLiteral("two"), QJsonValue()})}}));
    QCOMPARE(object.value(QStringLiteral("n")), QJsonValue(3.5));
    QCOMPARE(object.value(QStringLiteral("isBlocking")), QJsonValue(true));
    QCOMPARE(object.value(QStringLiteral("blockedBundleIDs")),
             QJsonArray({QStringLiteral("b"), QStringLiteral("c")}));

    defaults.setStringArray({}, QStringLiteral("blockedBundleIDs"));
    QCOMPARE(defaults.stringArrayForKey(QStringLiteral("blockedBundleIDs")), QStringList());
}

void TestUserDefaults::writesAtomicallyAndPrivately()
{
    ::umask(022);
    LinuxUserDefaults defaults(file());
    QCOMPARE(defaults.boolForKey(QStringLiteral("isBlocking")), false);
    defaults.setBool(true, QStringLiteral("isBlocking"));

    struct stat info = {};
    QCOMPARE(::stat(QFile::encodeName(file()).constData(), &info), 0);
    QCOMPARE(info.st_mode & 07777, 0600u);
    QCOMPARE(::stat(QFile::encodeName(QFileInfo(file()).path()).constData(), &info), 0);
    QCOMPARE(info.st_mode & 07777, 0700u);
    QCOMPARE(QDir(QFileInfo(file()).path())
                     .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("defaults.json")});
    QCOMPARE(fileObject(), QJsonObject({{QStringLiteral("isBlocking"), true}}));
}

void TestUserDefaults::writesThroughSymbolicLink()
{
    // A dotfile manager keeps the real file elsewhere and links it in.
    const QString real = m_dir->filePath(QStringLiteral("dotfiles/defaults.json"));
    QDir().mkpath(QFileInfo(real).path());
    QDir().mkpath(QFileInfo(file()).path());
    QVERIFY(QFile::link(real, file()));
    LinuxUserDefaults defaults(file());
    defaults.setBool(true, QStringLiteral("isBlocking"));

    QVERIFY(QFileInfo(file()).isSymLink());
    QCOMPARE(defaults.boolForKey(QStringLiteral("isBlocking")), true);
    QVERIFY(QFileInfo(real).isFile());
}

void TestUserDefaults::readsChangesOfOtherProcesses()
{
    LinuxUserDefaults defaults(file());
    defaults.setBool(false, QStringLiteral("isBlocking"));
    QCOMPARE(defaults.boolForKey(QStringLiteral("isBlocking")), false);
    runShell(QStringLiteral("printf '{\"isBlocking\": true}' > defaults.json"));
    QCOMPARE(defaults.boolForKey(QStringLiteral("isBlocking")), true);
}

void TestUserDefaults::concurrentWritersLoseNoKey()
{
    LinuxUserDefaults defaults(file());
    constexpr int threads = 6;
    constexpr int writes = 30;
    std::vector<std::unique_ptr<QThread>> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back(QThread::create([&defaults, t] {
            for (int i = 0; i < writes; ++i) {
                const QString key = QStringLiteral("k%1-%2").arg(t).arg(i);
                if (i % 2)
                    defaults.setBool(true, key);
                else
                    defaults.setStringArray({key}, key);
            }
        }));
        workers.back()->start();
    }
    for (auto &worker : workers)
        QVERIFY(worker->wait(60000));
    QCOMPARE(fileObject().size(), threads * writes);
}

QTEST_GUILESS_MAIN(TestUserDefaults)
#include "tst_userdefaults.moc"
