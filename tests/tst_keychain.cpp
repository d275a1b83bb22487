#include "keychain_linux.h"
#include "testhome.h"

#include <QLocalServer>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

// Each run of Vorn is a child process (this binary), with the session's Secret Service or none.
namespace {

const char kChildFlag[] = "--keychain-child";
const QString kNoBus = QStringLiteral("unix:path=/nonexistent/vorn-test-bus");
enum Writer { WithoutService, WithService, WithServiceThenFileLost };

// Child: <mode> <service> <account> <fallback folder>; stdin: "add <hex>", "remove", "find" or
// "! <shell command>". Mode "fresh": a new keychain for every operation, "one": one throughout.
int runChild(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(2);
    std::unique_ptr<LinuxKeychain> keychain;
    QTextStream in(stdin);
    QString text;
    while (in.readLineInto(&text)) {
        const QByteArray line = text.toUtf8();
        if (line.startsWith("! ")) {
            std::fflush(stdout);
            if (std::system(line.constData() + 2) != 0)
                return 3;
            continue;
        }
        if (!keychain || args[0] == QLatin1String("fresh")) {
            keychain.reset();
            keychain = std::make_unique<LinuxKeychain>(args[3]);
        }
        if (line.startsWith("add ")) {
            keychain->add(args[1], args[2], QByteArray::fromHex(line.mid(4)));
        } else if (line == "remove") {
            keychain->remove(args[1], args[2]);
        } else if (line == "find") {
            const auto found = keychain->find(args[1], args[2]);
            std::printf("%s\n", found ? ("found " + found->toHex()).constData() : "none");
        } else {
            return 2;
        }
    }
    return 0;
}

} // namespace

class tst_Keychain : public QObject
{
    Q_OBJECT

    bool m_haveBus = false;
    QString m_busAddress;
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_service;
    const QString m_account = QStringLiteral("syncDeviceId");

    QString fallbackFile() const { return m_dir->filePath(m_service + '/' + m_account); }
    // One run of Vorn doing the operations; its output.
    QByteArray run(const QString &busAddress, const QByteArray &ops)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), busAddress);
        const QStringList args{kChildFlag, "one", m_service, m_account, m_dir->path()};
        return TestHome::run(QCoreApplication::applicationFilePath(), args, ops, env).out.trimmed();
    }
    // secret-tool with the item's attributes; its output when it succeeds.
    std::optional<QByteArray> secretTool(QStringList args)
    {
        const auto tool = TestHome::run(QStringLiteral("secret-tool"),
                                        args << "service" << m_service << "account" << m_account);
        return tool.exitCode == 0 ? std::optional(tool.out) : std::nullopt;
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_busAddress = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
        const QStringList ping = {"--session", "--dest=org.freedesktop.DBus",
                                  "/org/freedesktop/DBus", "org.freedesktop.DBus.GetId"};
        m_haveBus = !m_busAddress.isEmpty() && QProcess::execute("dbus-send", ping) == 0;
    }
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        // A service of its own per test: nothing shared with the app's real item or other tests.
        m_service = "com.zumbra.vorn.test." + QUuid::createUuid().toString(QUuid::Id128);
    }
    void cleanup()
    {
        if (m_haveBus)
            run(m_busAddress, "remove\n");
    }

    void itemSurvivesSecretServiceComingAndGoing_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("writer");
        const QList<QPair<const char *, QByteArray>> values
                = {{"UUID text", "0F7C3A52-9D1B-4E8A-B6C2-5A4D3E2F1B0C"},
                   {"empty", QByteArray()},
                   {"invalid UTF-8", QByteArray("\xff\xfe\x80", 3)}};
        for (const auto &[name, bytes] : values) {
            QTest::addRow("%s, written without Secret Service", name) << bytes << +WithoutService;
            QTest::addRow("%s, written with Secret Service", name) << bytes << +WithService;
        }
        QTest::newRow("fallback file lost") << QByteArray("identity") << +WithServiceThenFileLost;
    }
    void itemSurvivesSecretServiceComingAndGoing()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, writer);
        if (!m_haveBus)
            QSKIP("no D-Bus session bus: run inside dbus-run-session with an unlocked keyring");
        const QString writerBus = writer == WithoutService ? kNoBus : m_busAddress;
        run(writerBus, "add " + QByteArray("previous").toHex() + '\n'); // replaced by the next
        run(writerBus, "add " + bytes.toHex() + '\n');
        QCOMPARE(secretTool({"lookup"}).has_value(), writer != WithoutService);
        if (writer == WithServiceThenFileLost)
            QVERIFY(QFile::remove(fallbackFile()));

        // Runs alternate: with, without, with. Every one sees the same bytes.
        const QByteArray found = ("found " + bytes.toHex()).trimmed();
        QCOMPARE(run(m_busAddress, "find\n"), found);
        QCOMPARE(secretTool({"lookup"}), bytes); // handed over to the Secret Service, its only item
        QCOMPARE(secretTool({"search", "--all"}).value_or("").count("label = "), 1);
        QCOMPARE(TestHome::readFile(fallbackFile()), bytes); // and to the private file, raw
        QCOMPARE(run(kNoBus, "find\n"), found);
        QCOMPARE(run(m_busAddress, "find\n"), found);

        // Removing deletes both copies.
        run(m_busAddress, "remove\n");
        QCOMPARE(secretTool({"lookup"}), std::nullopt);
        QVERIFY(!QFileInfo::exists(fallbackFile()));
        QCOMPARE(run(m_busAddress, "find\n"), QByteArray("none"));
        QCOMPARE(run(kNoBus, "find\n"), QByteArray("none"));
    }

    // One run in a session of its own, whose keyring the steps lock, replace or restart ("kr").
    void keyringChangesUnderOneRun_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("expected");
        // Locked: the file answers, nobody is asked to unlock; a replacement outlives the unlock.
        const QString locked = "add 6f6c64; ! kr lock; find; remove; add 6e6577; find; "
                               "! kr replace; find; ! kr lookup";
        const QString lockedOut = "found 6f6c64; found 6e6577; found 6e6577; new";
        QTest::newRow("locked, a run for every step") << "fresh" << locked << lockedOut;
        QTest::newRow("locked, one run throughout") << "one" << locked << lockedOut;
        // After a restart the new daemon answers (not the fallback file) and takes the change.
        QTest::newRow("daemon restarted")
                << "one"
                << "add 6f6c64; find; ! kr restart; find; ! kr store other; find; add 6e6577; "
                   "! kr lookup"
                << "found 6f6c64; found 6f6c64; found 6f74686572; new";
    }
    void keyringChangesUnderOneRun()
    {
        QFETCH(QString, mode);
        QFETCH(QString, steps);
        QFETCH(QString, expected);
        const QString root = m_dir->path();
        QTemporaryDir runtime;
        QVERIFY(TestHome::writeFile(root + "/kr", R"sh(#!/bin/sh -e
S=org.freedesktop.secrets P=/org/freedesktop/secrets C=org.freedesktop.Secret D=org.freedesktop.DBus
bus() { dbus-send --session --print-reply "$@" 2>/dev/null; }
daemon() { bus --dest=$D /org/freedesktop/DBus $D."$@"; }
owned() { daemon NameHasOwner string:$S | grep -q 'boolean true'; }
locked() { bus --dest=$S $P/aliases/default $D.Properties.Get string:$C.Collection string:Locked; }
# Polls for 30 s at most. Asking the daemon while nobody owns its name would start another one.
wait_for() { for i in $(seq 300); do eval "$1" && return; sleep 0.1; done; echo "kr: $1" >&2; exit 1; }
start() { printf pw | gnome-keyring-daemon "$@" --unlock --components=secrets >/dev/null 2>&1
          wait_for "owned && locked | grep -q 'boolean false'"; }
stop() { pid=$(daemon GetConnectionUnixProcessID string:$S | awk '/uint32/ {print $2}')
         kill "$pid"; wait_for "! owned && ! grep -qs '^[^)]*) [^ZX]' /proc/$pid/stat"; }
case "$1" in
start) start ;;
replace) start --replace ;;
stop) ! owned || stop ;;
restart) stop; start ;;
lock) bus --dest=$S $P $C.Service.Lock array:objpath:$P/aliases/default >/dev/null ;;
lookup) secret-tool lookup service "$SERVICE" account "$ACCOUNT"; echo ;;
store) printf %s "$2" | secret-tool store --label=other service "$SERVICE" account "$ACCOUNT" ;;
esac
)sh"));
        QVERIFY(QFile::setPermissions(root + "/kr",
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

        QProcess session;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name :
             {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "GNOME_KEYRING_CONTROL"})
            env.remove(name);
        env.insert("PATH", root + ':' + env.value("PATH"));
        env.insert("HOME", root);
        env.insert("XDG_RUNTIME_DIR", runtime.path());
        env.insert("SERVICE", m_service);
        env.insert("ACCOUNT", m_account);
        session.setProcessEnvironment(env);
        // The daemon goes before the session ends, or it would outlive the test.
        session.start("dbus-run-session",
                      {"--", "sh", "-c",
                       R"(kr start && { "$0" --keychain-child "$@"; s=$?; kr stop; exit $s; })",
                       QCoreApplication::applicationFilePath(), mode, m_service, m_account,
                       root + "/fallback"});
        QVERIFY(session.waitForStarted());
        session.write(steps.replace("; ", "\n").toUtf8() + '\n');
        session.closeWriteChannel();
        QVERIFY(session.waitForFinished(120000));
        QVERIFY2(session.exitCode() == 0, session.readAllStandardError().constData());
        QCOMPARE(QString::fromUtf8(session.readAllStandardOutput().trimmed()).replace('\n', "; "),
                 expected);
    }

    // A "session bus" that accepts connections and never answers: each call gives up in time.
    void silentBusDoesNotHang()
    {
        QLocalServer listener;
        QVERIFY(listener.listen(m_dir->filePath(QStringLiteral("silent-bus"))));
        const QString silentBus = "unix:path=" + listener.fullServerName();
        run(silentBus, "add 7374696c6c\n");
        QCOMPARE(run(silentBus, "find\n"), QByteArray("found 7374696c6c"));
    }
};

int main(int argc, char **argv)
{
    if (argc > 1 && std::strcmp(argv[1], kChildFlag) == 0)
        return runChild(argc, argv);
    QCoreApplication app(argc, argv);
    tst_Keychain test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_keychain.moc"
