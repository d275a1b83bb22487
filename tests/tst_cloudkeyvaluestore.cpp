#include "cloudkeyvaluestore_linux.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

// The replica folder as other programs see it: changes made by a real second process (a shell)
// must raise the notice, the store's own writes must not.
class TestCloudKeyValueStore : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void externalChangeRaisesNotice_data();
    void externalChangeRaisesNotice();
    void watchesAgainWhenParentsReappear();
    void ownWritesRaiseNoNotice();
    void ownWriteIntoRemovedFolderRaisesNoNotice();
    void writesExactBytesPrivately_data();
    void writesExactBytesPrivately();
    void createsPrivateFolderWithParents();
    void refusesUnsafeKeys_data();
    void refusesUnsafeKeys();
    void oddFilesReadAsAbsent_data();
    void oddFilesReadAsAbsent();
    void sweepsStaleTemporaryFiles();
    void destroysCleanlyWhileBusy();

private:
    QString folder() const { return m_dir->filePath(QStringLiteral("cloud")); }
    void runShell(const QString &script);
    std::unique_ptr<LinuxCloudKeyValueStore> makeStore();

    std::unique_ptr<QTemporaryDir> m_dir;
    std::atomic<int> m_notices{0};
    std::atomic<qint64> m_firstNoticeNs{0}; // wall clock, so that a shell can stamp times too
};

void TestCloudKeyValueStore::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_notices = 0;
    m_firstNoticeNs = 0;
}

void TestCloudKeyValueStore::cleanup()
{
    m_dir.reset();
}

void TestCloudKeyValueStore::runShell(const QString &script)
{
    QProcess shell;
    shell.setWorkingDirectory(m_dir->path());
    shell.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), script});
    QVERIFY(shell.waitForFinished(30000));
    QVERIFY2(shell.exitCode() == 0, shell.readAllStandardError().constData());
}

std::unique_ptr<LinuxCloudKeyValueStore> TestCloudKeyValueStore::makeStore()
{
    auto store = std::make_unique<LinuxCloudKeyValueStore>(folder());
    // Direct, as the real observers connect: the handler runs on the store's watcher thread.
    connect(
            store.get(), &CloudKeyValueStore::didChangeExternally, this,
            [this] {
                qint64 expected = 0;
                const auto now = std::chrono::system_clock::now().time_since_epoch();
                m_firstNoticeNs.compare_exchange_strong(
                        expected,
                        std::chrono::duration_cast<std::chrono::nanoseconds>(now).count());
                ++m_notices;
            },
            Qt::DirectConnection);
    return store;
}

void TestCloudKeyValueStore::externalChangeRaisesNotice_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("present");
    QTest::addColumn<QByteArray>("value");

    const QString hasKey = QStringLiteral("mkdir -p cloud && printf old > cloud/key");
    QTest::newRow("created by rename")
            << QString() << "printf new > cloud/.t && mv cloud/.t cloud/key" << true
            << QByteArray("new");
    QTest::newRow("created in place")
            << QString() << "printf new > cloud/key" << true << QByteArray("new");
    QTest::newRow("replaced by rename")
            << hasKey << "printf new > cloud/.t && mv cloud/.t cloud/key" << true
            << QByteArray("new");
    QTest::newRow("rewritten in place")
            << hasKey << "printf new > cloud/key" << true << QByteArray("new");
    QTest::newRow("appended to") << hasKey << "printf +1 >> cloud/key" << true
                                 << QByteArray("old+1");
    QTest::newRow("truncated") << hasKey << ": > cloud/key" << true << QByteArray("");
    QTest::newRow("deleted") << hasKey << "rm cloud/key" << false << QByteArray();
    QTest::newRow("moved away") << hasKey << "mv cloud/key elsewhere" << false << QByteArray();
    QTest::newRow("folder removed") << hasKey << "rm -rf cloud" << false << QByteArray();
    QTest::newRow("folder removed and recreated")
            << hasKey << "rm -rf cloud && mkdir cloud && printf new > cloud/key" << true
            << QByteArray("new");
    QTest::newRow("folder moved away and back")
            << hasKey << "mv cloud parked && sleep 0.2 && mv parked cloud" << true
            << QByteArray("old");
    QTest::newRow("folder replaced by a prepared one")
            << hasKey << "mkdir next && printf new > next/key && rm -rf cloud && mv next cloud"
            << true << QByteArray("new");
}

void TestCloudKeyValueStore::externalChangeRaisesNotice()
{
    QFETCH(QString, before);
    QFETCH(QString, change);
    QFETCH(bool, present);
    QFETCH(QByteArray, value);

    if (!before.isEmpty())
        runShell(before);
    auto store = makeStore();

    // The shell stamps the time just before it makes the change.
    runShell(QStringLiteral("date +%s%N > stamp && ") + change);
    QTRY_VERIFY_WITH_TIMEOUT(m_notices >= 1, 5000);
    QFile stamp(m_dir->filePath(QStringLiteral("stamp")));
    QVERIFY(stamp.open(QIODevice::ReadOnly));
    qInfo("notice %.1f ms after the change began",
          (m_firstNoticeNs - stamp.readAll().trimmed().toLongLong()) / 1e6);

    const auto stored = store->dataForKey(QStringLiteral("key"));
    QCOMPARE(stored.has_value(), present);
    if (present)
        QCOMPARE(*stored, value);
}

void TestCloudKeyValueStore::watchesAgainWhenParentsReappear()
{
    const QString nested = m_dir->filePath(QStringLiteral("a/b/cloud"));
    LinuxCloudKeyValueStore store(nested);
    connect(
            &store, &CloudKeyValueStore::didChangeExternally, this, [this] { ++m_notices; },
            Qt::DirectConnection);
    runShell(QStringLiteral("rm -rf a"));
    QTRY_VERIFY_WITH_TIMEOUT(m_notices >= 1, 5000);
    m_notices = 0;

    runShell(QStringLiteral("mkdir -p a/b/cloud && printf new > a/b/cloud/key"));
    QTRY_VERIFY_WITH_TIMEOUT(m_notices >= 1, 5000);
    QCOMPARE(store.dataForKey(QStringLiteral("key")), QByteArray("new"));
}

void TestCloudKeyValueStore::ownWritesRaiseNoNotice()
{
    auto store = makeStore();
    store->setData("first", QStringLiteral("key"));
    for (int i = 0; i < 50; ++i)
        store->setData(QByteArray::number(i), QStringLiteral("key"));
    store->setData("other", QStringLiteral("other"));
    QTest::qWait(500);
    QCOMPARE(m_notices.load(), 0);

    // The watcher is alive: the same key changed by another process is noticed.
    runShell(QStringLiteral("printf theirs > cloud/.t && mv cloud/.t cloud/key"));
    QTRY_VERIFY_WITH_TIMEOUT(m_notices >= 1, 5000);
    QCOMPARE(store->dataForKey(QStringLiteral("key")), QByteArray("theirs"));

    // Own writes interleaved with foreign ones: each foreign one still counts.
    m_notices = 0;
    store->setData("mine", QStringLiteral("key"));
    runShell(QStringLiteral("printf x > cloud/third"));
    QTRY_VERIFY_WITH_TIMEOUT(m_notices >= 1, 5000);
}

void TestCloudKeyValueStore::ownWriteIntoRemovedFolderRaisesNoNotice()
{
    auto store = makeStore();
    store->setData("v", QStringLiteral("key"));
    runShell(QStringLiteral("rm -rf cloud"));
    QTRY_VERIFY_WITH_TIMEOUT(m_notices >= 1, 5000);
    QTest::qWait(100);
    m_notices = 0;

    store->setData("again", QStringLiteral("key"));
    QCOMPARE(store->dataForKey(QStringLiteral("key")), QByteArray("again"));
    QTest::qWait(500);
    QCOMPARE(m_notices.load(), 0);

    // The recreated folder is watched again.
    runShell(QStringLiteral("printf new > cloud/key"));
    QTRY_VERIFY_WITH_TIMEOUT(m_notices >= 1, 5000);
}

void TestCloudKeyValueStore::writesExactBytesPrivately_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("json") << QByteArray(R"({"deviceRegistry":{}})");
    QTest::newRow("binary with NUL and 0xFF") << QByteArray("\x00\xff\xfe\n\x00", 5);
    QTest::newRow("2 MB") << QByteArray(2 * 1024 * 1024, 'x');
}

void TestCloudKeyValueStore::writesExactBytesPrivately()
{
    QFETCH(QByteArray, bytes);
    ::umask(022); // the modes must not depend on the caller's umask
    auto store = makeStore();
    store->setData("previous", QStringLiteral("deviceRegistry"));
    store->setData(bytes, QStringLiteral("deviceRegistry"));

    QCOMPARE(store->dataForKey(QStringLiteral("deviceRegistry")), bytes);
    QFile file(folder() + QStringLiteral("/deviceRegistry"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), bytes);

    struct stat info = {};
    QCOMPARE(::stat(QFile::encodeName(file.fileName()).constData(), &info), 0);
    QCOMPARE(info.st_mode & 07777, 0600u);
    QCOMPARE(::stat(QFile::encodeName(folder()).constData(), &info), 0);
    QCOMPARE(info.st_mode & 07777, 0700u);
    // No temporary file is left behind.
    QCOMPARE(QDir(folder()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("deviceRegistry")});
}

void TestCloudKeyValueStore::createsPrivateFolderWithParents()
{
    const QString nested = m_dir->filePath(QStringLiteral("a/b/cloud"));
    LinuxCloudKeyValueStore store(nested);
    store.setData("v", QStringLiteral("key"));
    for (const QString &path :
         {m_dir->filePath(QStringLiteral("a")), m_dir->filePath(QStringLiteral("a/b")), nested}) {
        struct stat info = {};
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &info), 0);
        QVERIFY2((info.st_mode & 07777) == 0700, qPrintable(path));
    }
    QCOMPARE(store.dataForKey(QStringLiteral("key")), QByteArray("v"));
}

void TestCloudKeyValueStore::refusesUnsafeKeys_data()
{
    QTest::addColumn<QString>("key");
    QTest::newRow("empty") << QString();
    QTest::newRow("dot") << QStringLiteral(".");
    QTest::newRow("dot dot") << QStringLiteral("..");
    QTest::newRow("leading dot") << QStringLiteral(".hidden");
    QTest::newRow("slash") << QStringLiteral("a/b");
    QTest::newRow("escapes the folder") << QStringLiteral("../outside");
    QTest::newRow("NUL") << QString::fromUtf8("key\0tail", 8);
    QTest::newRow("longer than a file name") << QString(256, QLatin1Char('k'));
}

void TestCloudKeyValueStore::refusesUnsafeKeys()
{
    QFETCH(QString, key);
    auto store = makeStore();
    QDir().mkpath(folder() + QStringLiteral("/a"));
    const auto listing = [this] {
        return QDir(m_dir->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)
                + QDir(folder()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    };
    const QStringList before = listing();

    store->setData("payload", key);
    QCOMPARE(listing(), before);
    QVERIFY(!QFileInfo::exists(folder() + QStringLiteral("/a/b")));
    QVERIFY(!QFileInfo::exists(m_dir->filePath(QStringLiteral("outside"))));

    // A file that another program left under such a name is not read either.
    QFile hidden(folder() + QStringLiteral("/.hidden"));
    QVERIFY(hidden.open(QIODevice::WriteOnly));
    hidden.write("secret");
    hidden.close();
    QCOMPARE(store->dataForKey(key), std::nullopt);
}

void TestCloudKeyValueStore::oddFilesReadAsAbsent_data()
{
    QTest::addColumn<QString>("make");
    QTest::addColumn<bool>("present");
    QTest::addColumn<qint64>("size");

    QTest::newRow("directory") << "mkdir cloud/key" << false << qint64(0);
    QTest::newRow("FIFO with no writer") << "mkfifo cloud/key" << false << qint64(0);
    QTest::newRow("link to a device") << "ln -s /dev/zero cloud/key" << false << qint64(0);
    QTest::newRow("dangling link") << "ln -s nowhere cloud/key" << false << qint64(0);
    QTest::newRow("unreadable") << "printf v > cloud/key && chmod 000 cloud/key" << false
                                << qint64(0);
    // Large values are read whole up to the limit; beyond it they read as absent.
    QTest::newRow("50 MB") << "truncate -s 50M cloud/key" << true << qint64(50 * 1024 * 1024);
    QTest::newRow("over the limit") << QStringLiteral("truncate -s %1 cloud/key")
                                               .arg(LinuxCloudKeyValueStore::maxValueBytes + 1)
                                    << false << qint64(0);
}

void TestCloudKeyValueStore::oddFilesReadAsAbsent()
{
    QFETCH(QString, make);
    QFETCH(bool, present);
    QFETCH(qint64, size);

    if (QByteArray(QTest::currentDataTag()) == "unreadable" && ::geteuid() == 0)
        QSKIP("root reads a mode-000 file; the directory and FIFO rows cover unreadable values");
    auto store = makeStore();
    store->setData("kept", QStringLiteral("other"));
    runShell(make);

    const auto value = store->dataForKey(QStringLiteral("key"));
    QCOMPARE(value.has_value(), present);
    if (present)
        QCOMPARE(value->size(), size);
    QCOMPARE(store->dataForKey(QStringLiteral("other")), QByteArray("kept"));
    // A write replaces a plain file but never a directory that stands where the file belongs.
    if (QByteArray(QTest::currentDataTag()) == "directory") {
        store->setData("x", QStringLiteral("key"));
        QVERIFY(QFileInfo(folder() + QStringLiteral("/key")).isDir());
    }
}

void TestCloudKeyValueStore::sweepsStaleTemporaryFiles()
{
    runShell(QStringLiteral("mkdir cloud && cd cloud && printf x > .vorn-1-a-OLD1 "
                            "&& touch -d '2 hours ago' .vorn-1-a-OLD1 && printf x > .vorn-2-b-NEW1 "
                            "&& printf x > .other && touch -d '2 hours ago' .other"));
    auto store = makeStore();
    QCOMPARE(QDir(folder()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             (QStringList{QStringLiteral(".other"), QStringLiteral(".vorn-2-b-NEW1")}));
}

void TestCloudKeyValueStore::destroysCleanlyWhileBusy()
{
    runShell(QStringLiteral("mkdir -p cloud"));
    QProcess writer;
    writer.setWorkingDirectory(m_dir->path());
    writer.start(QStringLiteral("/bin/sh"),
                 {QStringLiteral("-c"),
                  QStringLiteral("i=0; while [ $i -lt 2000 ]; do printf $i > cloud/key; "
                                 "i=$((i+1)); done")});
    QVERIFY(writer.waitForStarted());
    for (int i = 0; i < 20; ++i) {
        auto store = makeStore();
        store->setData("mine", QStringLiteral("own"));
        QTest::qWait(5);
    }
    QVERIFY(writer.waitForFinished(30000));
}

QTEST_GUILESS_MAIN(TestCloudKeyValueStore)
#include "tst_cloudkeyvaluestore.moc"
