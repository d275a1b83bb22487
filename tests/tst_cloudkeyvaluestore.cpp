#include "cloudkeyvaluestore_linux.h"
#include "testhome.h"

#include <atomic>
#include <memory>
#include <unistd.h>

// Changes made by a real second process (a shell) must raise the notice, the store's own must not.
class tst_CloudKeyValueStore : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::atomic<int> m_notices{0};

    QString folder() const { return m_dir->filePath(QStringLiteral("a/b/cloud")); }
    static QStringList listing(const QString &path)
    {
        return QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    }
    // Runs a script in the test folder, with $C naming the replica folder.
    void runShell(const QString &script)
    {
        const auto shell
                = TestHome::run(QStringLiteral("/bin/sh"),
                                {"-c", "cd \"$0\" && C=a/b/cloud && " + script, m_dir->path()});
        QVERIFY2(shell.exitCode == 0, shell.err.constData());
    }
    // Connected directly, as the real observers are: the handler runs on the watcher's thread.
    std::unique_ptr<LinuxCloudKeyValueStore> makeStore()
    {
        auto store = std::make_unique<LinuxCloudKeyValueStore>(folder());
        connect(
                store.get(), &CloudKeyValueStore::didChangeExternally, this,
                [this] { ++m_notices; }, Qt::DirectConnection);
        return store;
    }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_notices = 0;
    }

    void externalChangeRaisesNotice_data()
    {
        QTest::addColumn<QStringList>("steps"); // each one must raise a notice
        QTest::addColumn<QByteArray>("value");
        const auto row = [](const char *name, const QStringList &steps, const char *value) {
            QTest::newRow(name) << steps << QByteArray(value);
        };
        const QString renameNew = "printf new > $C/.t && mv $C/.t $C/key";
        row("replaced by rename", {renameNew}, "new");
        row("rewritten in place", {"printf new > $C/key"}, "new");
        row("deleted, then created in place", {"rm $C/key", "printf new > $C/key"}, "new");
        row("moved away, then created by rename", {"mv $C/key elsewhere", renameNew}, "new");
        row("folder moved away and back", {"mv $C parked && sleep 0.2 && mv parked $C"}, "old");
        row("folder replaced", {"mkdir n && printf new > n/key && rm -rf $C && mv n $C"}, "new");
        row("folder removed, recreated", {"rm -rf $C", "mkdir $C && printf new > $C/key"}, "new");
        row("parents recreated", {"rm -rf a", "mkdir -p $C && printf new > $C/key"}, "new");
    }
    void externalChangeRaisesNotice()
    {
        QFETCH(QStringList, steps);
        QFETCH(QByteArray, value);
        runShell(QStringLiteral("mkdir -p $C && printf old > $C/key"));
        auto store = makeStore();
        for (const QString &step : steps) {
            m_notices = 0;
            runShell(step);
            QTRY_VERIFY(m_notices >= 1);
        }
        QCOMPARE(store->dataForKey("key"), value);
    }

    void ownWritesRaiseNoNotice()
    {
        auto store = makeStore();
        for (int i = 0; i < 50; ++i)
            store->setData(QByteArray::number(i), "key");
        store->setData("other", "other");
        QTest::qWait(500);
        QCOMPARE(m_notices.load(), 0);
        // Nor does the write that recreates a folder someone removed.
        runShell(QStringLiteral("rm -rf $C"));
        QTRY_VERIFY(m_notices >= 1);
        QTest::qWait(100);
        m_notices = 0;
        store->setData("again", "key");
        QCOMPARE(store->dataForKey("key"), QByteArray("again"));
        QTest::qWait(500);
        QCOMPARE(m_notices.load(), 0);
        // A foreign change right after an own write still counts.
        store->setData("mine", "key");
        runShell(QStringLiteral("printf theirs > $C/.t && mv $C/.t $C/key"));
        QTRY_VERIFY(m_notices >= 1);
        QCOMPARE(store->dataForKey("key"), QByteArray("theirs"));
    }

    void writesExactBytesPrivately_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("binary with NUL and 0xFF") << QByteArray("\x00\xff\xfe\n\x00", 5);
        QTest::newRow("50 MB") << QByteArray(50 * 1024 * 1024, 'x'); // large values are read whole
    }
    void writesExactBytesPrivately()
    {
        QFETCH(QByteArray, bytes);
        ::umask(022); // the modes must not depend on the caller's umask
        auto store = makeStore();
        store->setData("previous", "deviceRegistry");
        store->setData(bytes, "deviceRegistry");
        QCOMPARE(store->dataForKey("deviceRegistry"), bytes);
        QCOMPARE(TestHome::readFile(folder() + QStringLiteral("/deviceRegistry")), bytes);
        for (const QString path : {"a", "a/b", "a/b/cloud", "a/b/cloud/deviceRegistry"})
            QCOMPARE(TestHome::mode(m_dir->filePath(path)),
                     path.endsWith("Registry") ? 0600u : 0700u);
        QCOMPARE(listing(folder()), QStringList{"deviceRegistry"}); // no temporary
    }

    void refusesUnsafeKeys_data()
    {
        QTest::addColumn<QString>("key");
        QTest::newRow("empty") << QString();
        QTest::newRow("leading dot") << QStringLiteral(".hidden");
        QTest::newRow("escapes the folder") << QStringLiteral("../outside");
        QTest::newRow("NUL") << QString::fromUtf8("key\0tail", 8);
    }
    void refusesUnsafeKeys()
    {
        QFETCH(QString, key);
        auto store = makeStore();
        const QStringList before = listing(m_dir->filePath("a/b")) + listing(folder());
        store->setData("payload", key);
        QCOMPARE(listing(m_dir->filePath("a/b")) + listing(folder()), before);
        // A file that another program left under such a name is not read either.
        QVERIFY(TestHome::writeFile(folder() + QStringLiteral("/.hidden"), "secret"));
        QCOMPARE(store->dataForKey(key), std::nullopt);
    }

    // Something stored that cannot be read is not "nothing stored".
    void oddFilesReadAsUnreadable_data()
    {
        QTest::addColumn<QString>("make");
        QTest::newRow("directory") << "mkdir $C/key";
        QTest::newRow("FIFO with no writer") << "mkfifo $C/key";
        QTest::newRow("unreadable") << "printf v > $C/key && chmod 000 $C/key";
        QTest::newRow("over the limit") << QStringLiteral("truncate -s %1 $C/key")
                                                   .arg(LinuxCloudKeyValueStore::maxValueBytes + 1);
    }
    void oddFilesReadAsUnreadable()
    {
        QFETCH(QString, make);
        if (QByteArray(QTest::currentDataTag()) == "unreadable" && ::geteuid() == 0)
            QSKIP("root reads a mode-000 file; the other rows cover this");
        auto store = makeStore();
        store->setData("kept", "other");
        runShell(make);
        QCOMPARE(store->valueForKey("key").state,
                 CloudKeyValueStore::StoredValue::State::Unreadable);
        QCOMPARE(store->valueForKey(QStringLiteral("nothing")).state,
                 CloudKeyValueStore::StoredValue::State::Absent);
        QCOMPARE(store->dataForKey("other"), QByteArray("kept"));
    }

    void destroysCleanlyWhileBusy()
    {
        QProcess writer;
        writer.setWorkingDirectory(m_dir->path());
        const QString script = "for i in $(seq 2000); do printf $i > a/b/cloud/key; done";
        writer.start("/bin/sh", {"-c", "mkdir -p a/b/cloud; " + script});
        QVERIFY(writer.waitForStarted());
        for (int i = 0; i < 20; ++i) {
            auto store = makeStore();
            store->setData("mine", QStringLiteral("own"));
            QTest::qWait(5);
        }
        QVERIFY(writer.waitForFinished(30000));
    }
};

QTEST_GUILESS_MAIN(tst_CloudKeyValueStore)
#include "tst_cloudkeyvaluestore.moc"
