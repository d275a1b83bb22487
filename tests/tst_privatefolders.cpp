#include "cloudkeyvaluestore_linux.h"
#include "keychain_linux.h"
#include "platform.h"
#include "testhome.h"
#include "userdefaults_linux.h"

#include <unistd.h>

// The care the file-backed stores share: loose folders tightened, another user's refused, links
// never followed, temporaries of killed writers swept.
class tst_PrivateFolders : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;

    // Each store's file is named "value": the keychain's item has that account in "service".
    QString folderOf(const QString &store) const
    {
        return m_dir->filePath(store == "keychain"        ? "keychain/service"
                                       : store == "state" ? "state/vorn"
                                                          : store);
    }
    QString fileOf(const QString &store) const { return folderOf(store) + "/value"; }
    // The file's contents when another program stored `value` there.
    static QByteArray asStored(const QString &store, const QByteArray &value)
    {
        return store == "config" ? "{\"value\": [\"" + value + "\"]}" : value;
    }
    // Opens the store as Vorn does, reads the value, then stores `mine` unless it is empty.
    std::optional<QByteArray> openStore(const QString &store, const QByteArray &mine = {})
    {
        std::optional<QByteArray> found;
        if (store == "cloud") {
            LinuxCloudKeyValueStore cloud(folderOf(store), LinuxCloudKeyValueStore::Notices::None);
            found = cloud.dataForKey("value");
            if (!mine.isEmpty())
                cloud.setData(mine, "value");
        } else if (store == "config") {
            LinuxUserDefaults defaults(fileOf(store));
            if (const auto strings = defaults.stringArrayForKey("value"))
                found = strings->join(',').toUtf8();
            if (!mine.isEmpty())
                defaults.setStringArray({mine}, "value");
        } else {
            LinuxKeychain keychain(m_dir->filePath("keychain"));
            found = keychain.find("service", "value");
            if (!mine.isEmpty())
                keychain.add("service", "value", mine);
        }
        return found;
    }

private Q_SLOTS:
    void initTestCase()
    {
        // The keychain's fallback files alone, with no Secret Service to answer instead.
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/vorn-test-bus");
        ::umask(022); // files are private whatever the umask
    }
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
    }

    void looseOrForeignFolder_data()
    {
        QTest::addColumn<QString>("store");
        QTest::addColumn<bool>("foreign");
        for (const char *store : {"cloud", "config", "keychain", "state"}) {
            QTest::addRow("%s, loose", store) << QString(store) << false;
            QTest::addRow("%s, another user's", store) << QString(store) << true;
        }
    }
    void looseOrForeignFolder()
    {
        QFETCH(QString, store);
        QFETCH(bool, foreign);
        if (foreign && ::geteuid() != 0)
            QSKIP("needs root to give a folder to another user");
        const QString folder = folderOf(store);
        QVERIFY(TestHome::writeFile(fileOf(store), asStored(store, "theirs")));
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0777) == 0);
        if (foreign)
            QVERIFY(::chown(QFile::encodeName(folder).constData(), 65534, 65534) == 0);

        if (store == "state") {
            qputenv("XDG_STATE_HOME", QFile::encodeName(m_dir->filePath("state")));
            QCOMPARE(Platform::stateFolder(), foreign ? QString() : folder);
        } else {
            using Value = std::optional<QByteArray>;
            QCOMPARE(openStore(store, "mine"), foreign ? Value() : Value("theirs"));
            QCOMPARE(openStore(store), foreign ? Value() : Value("mine"));
        }
        // Another user's folder is left exactly as it was; this user's is made private.
        if (foreign)
            QCOMPARE(TestHome::readFile(fileOf(store)), asStored(store, "theirs"));
        QCOMPARE(TestHome::mode(folder), foreign ? 0777u : 0700u);
    }

    // Neither read nor written through: the link is moved aside inside the folder, as a link.
    void linksAreNeverFollowed_data()
    {
        QTest::addColumn<QString>("store");
        QTest::addColumn<QString>("target");
        for (const char *store : {"cloud", "config", "keychain"}) {
            QTest::addRow("%s, a file elsewhere", store) << store << m_dir->filePath("dot/file");
            QTest::addRow("%s, a folder", store) << store << m_dir->filePath("dot");
            QTest::addRow("%s, a device", store) << store << QStringLiteral("/dev/null");
            QTest::addRow("%s, nothing", store) << store << m_dir->filePath("missing");
        }
    }
    void linksAreNeverFollowed()
    {
        QFETCH(QString, store);
        QFETCH(QString, target);
        QVERIFY(TestHome::writeFile(m_dir->filePath("dot/file"), asStored(store, "not yours")));
        QVERIFY(QDir().mkpath(folderOf(store)) && QFile::link(target, fileOf(store)));
        const QFileInfo before(target);

        QCOMPARE(openStore(store, "mine"), std::nullopt);
        QCOMPARE(openStore(store), QByteArray("mine"));
        QCOMPARE(TestHome::mode(fileOf(store)), 0600u);
        const QStringList aside = TestHome::movedAside(folderOf(store), "value");
        QCOMPARE(aside.size(), 1);
        QCOMPARE(QFileInfo(folderOf(store) + '/' + aside.first()).symLinkTarget(),
                 QFileInfo(target).absoluteFilePath());
        QCOMPARE(TestHome::readFile(m_dir->filePath("dot/file")), asStored(store, "not yours"));
        QCOMPARE(QFileInfo(target).exists(), before.exists());
        QCOMPARE(QFileInfo(target).isDir(), before.isDir());
    }

    void sweepsTemporariesOfGoneWriters_data()
    {
        QTest::addColumn<QString>("store");
        QTest::addColumn<QString>("name"); // GONE: a writer that ended, LIVE: this process
        QTest::addColumn<bool>("old"); // two hours
        QTest::addColumn<bool>("kept");
        const std::tuple<const char *, const char *, const char *, bool, bool> rows[] = {
                {"writer gone", "cloud", ".vorn-GONE-a-x", false, false},
                {"writer gone", "config", ".value.tmp-GONE-a-x", false, false},
                {"writer gone", "keychain", ".tmp-GONE-a-x", false, false},
                {"writer alive, old", "cloud", ".vorn-LIVE-a-x", true, true},
                {"no number, old", "cloud", ".vorn-abc", true, false},
                {"no number, young", "cloud", ".vorn-abc", false, true},
                {"another program's", "cloud", ".other-GONE", true, true},
        };
        for (const auto &[name, store, file, old, kept] : rows)
            QTest::addRow("%s, %s", store, name) << QString(store) << QString(file) << old << kept;
    }
    void sweepsTemporariesOfGoneWriters()
    {
        QFETCH(QString, store);
        QFETCH(QString, name);
        QFETCH(bool, old);
        name.replace("GONE", QString::number(TestHome::gonePid()));
        const QString path
                = folderOf(store) + '/' + name.replace("LIVE", QString::number(getpid()));
        QVERIFY(TestHome::writeFile(path, "x"));
        if (old) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(-7200),
                                     QFileDevice::FileModificationTime));
        }
        openStore(store);
        QTEST(QFileInfo::exists(path), "kept");
    }
};

QTEST_GUILESS_MAIN(tst_PrivateFolders)
#include "tst_privatefolders.moc"
