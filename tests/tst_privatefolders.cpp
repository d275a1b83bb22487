#include "cloudkeyvaluestore_linux.h"
#include "keychain_linux.h"
#include "platform.h"
#include "testhome.h"
#include "userdefaults_linux.h"

#include <unistd.h>

// Vorn's folders must be its user's and writable by nobody else. A loose one of this user's is
// tightened; one that belongs to another user is refused: nothing in it is read or written, and
// each store falls back to what it gives when nothing is stored.
class tst_PrivateFolders : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;

private Q_SLOTS:
    void initTestCase()
    {
        // The keychain's fallback files alone, with no Secret Service to answer instead.
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/vorn-test-bus");
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
            QTest::addRow("%s, loose", store) << QString::fromLatin1(store) << false;
            QTest::addRow("%s, another user's", store) << QString::fromLatin1(store) << true;
        }
    }
    void looseOrForeignFolder()
    {
        QFETCH(QString, store);
        QFETCH(bool, foreign);
        if (foreign && ::geteuid() != 0)
            QSKIP("needs root to give a folder to another user");
        const QString service = QStringLiteral("com.zumbra.vorn.syncDeviceIdentity");
        const QString folder = m_dir->filePath(store == "keychain"        ? "keychain/" + service
                                                       : store == "state" ? "state/vorn"
                                                                          : store);
        // What the other user left there.
        const QString theirs = folder
                + (store == "cloud"            ? "/syncedBlockState"
                           : store == "config" ? "/defaults.json"
                                               : "/syncDeviceId");
        QVERIFY(TestHome::writeFile(theirs,
                                    store == "config" ? R"({"isBlocking": true})" : "theirs"));
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0777) == 0);
        if (foreign)
            QVERIFY(::chown(QFile::encodeName(folder).constData(), 65534, 65534) == 0);

        if (store == "cloud") {
            LinuxCloudKeyValueStore cloud(folder, LinuxCloudKeyValueStore::Notices::None);
            QCOMPARE(cloud.dataForKey(QStringLiteral("syncedBlockState")),
                     foreign ? std::nullopt : std::optional<QByteArray>("theirs"));
            cloud.setData("mine", QStringLiteral("other"));
            QCOMPARE(QFileInfo::exists(folder + "/other"), !foreign);
        } else if (store == "config") {
            LinuxUserDefaults defaults(theirs);
            QCOMPARE(defaults.boolForKey(QStringLiteral("isBlocking")), !foreign);
            defaults.setBool(false, QStringLiteral("isBlocking"));
            QCOMPARE(defaults.boolForKey(QStringLiteral("isBlocking")), false);
        } else if (store == "keychain") {
            LinuxKeychain keychain(m_dir->filePath(QStringLiteral("keychain")));
            const QString account = QStringLiteral("syncDeviceId");
            QCOMPARE(keychain.find(service, account),
                     foreign ? std::nullopt : std::optional<QByteArray>("theirs"));
            keychain.add(service, account, "mine");
        } else {
            qputenv("XDG_STATE_HOME", QFile::encodeName(m_dir->filePath(QStringLiteral("state"))));
            QCOMPARE(Platform::stateFolder(), foreign ? QString() : folder);
        }

        // Another user's folder is left exactly as it was; this user's is made private.
        if (foreign)
            QCOMPARE(TestHome::readFile(theirs),
                     QByteArray(store == "config" ? R"({"isBlocking": true})" : "theirs"));
        QCOMPARE(TestHome::mode(folder), foreign ? 0777u : 0700u);
    }
};

QTEST_GUILESS_MAIN(tst_PrivateFolders)
#include "tst_privatefolders.moc"
