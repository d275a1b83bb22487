#include "keychain_linux.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QUuid>
#include <QtTest>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

// Each "run" of Vorn is a child process (this binary started with --keychain-child), with the
// session's Secret Service or with a session bus address that leads nowhere, so the item must
// survive the Secret Service coming and going between runs exactly as it would for the app.
namespace {

const char kChildFlag[] = "--keychain-child";
const QString kNoBus = QStringLiteral("unix:path=/nonexistent/vorn-test-bus");

#define REQUIRE_SECRET_SERVICE()                                                                   \
    if (!m_haveBus)                                                                                \
    QSKIP("no D-Bus session bus: run inside dbus-run-session with an unlocked gnome-keyring, as "  \
          "scripts/test.sh does")

// Performs one operation; find prints "found <hex>" or "none", and the time taken goes to stderr.
bool perform(LinuxKeychain &keychain, const QString &op, const QString &service,
             const QString &account, const QString &hex)
{
    QElapsedTimer timer;
    timer.start();
    if (op == QLatin1String("add")) {
        keychain.add(service, account, QByteArray::fromHex(hex.toLatin1()));
    } else if (op == QLatin1String("remove")) {
        keychain.remove(service, account);
    } else if (op == QLatin1String("find")) {
        const auto found = keychain.find(service, account);
        std::printf("%s\n", found ? ("found " + found->toHex()).constData() : "none");
    } else {
        return false;
    }
    std::fprintf(stderr, "%s took %lld ms\n", qPrintable(op), timer.elapsed());
    return true;
}

// Child: <op> <service> <account> <fallback folder> [hex], one operation. Or <mode> <service>
// <account> <fallback folder> with operations on stdin, one a line ("add <hex>", "find", ...),
// where a line "! <command>" is a shell command run in between. Mode "steps" keeps one keychain
// throughout, like one long run of the app; "steps-fresh" makes a new one for every operation.
int runChild(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(2);
    if (args.size() < 4)
        return 2;
    const QString &mode = args[0];
    auto keychain = std::make_unique<LinuxKeychain>(args[3]);
    if (mode != QLatin1String("steps") && mode != QLatin1String("steps-fresh"))
        return perform(*keychain, mode, args[1], args[2], args.value(4)) ? 0 : 2;

    QTextStream in(stdin);
    QString line;
    while (in.readLineInto(&line)) {
        if (line.startsWith(QLatin1String("! "))) {
            std::fflush(stdout);
            if (std::system(qPrintable(line.mid(2))) != 0)
                return 3;
            continue;
        }
        const QStringList words = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (words.isEmpty())
            continue;
        if (mode == QLatin1String("steps-fresh")) {
            keychain.reset();
            keychain = std::make_unique<LinuxKeychain>(args[3]);
        }
        if (!perform(*keychain, words[0], args[1], args[2], words.value(1)))
            return 2;
    }
    return 0;
}

} // namespace

class TestKeychain : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void itemSurvivesSecretServiceComingAndGoing_data();
    void itemSurvivesSecretServiceComingAndGoing();
    void restoresFallbackFileFromSecretService();
    void findsItemMadeByAnotherTool();
    void addReplacesTheItem();
    void removeDeletesBothCopies();
    void changeWhileKeyringLockedSurvivesUnlock_data();
    void changeWhileKeyringLockedSurvivesUnlock();
    void secretServiceDaemonRestartsBetweenRequests();
    void fallbackFileIsPrivateRawBytes();
    void unsafeNamesStayInsideFallbackFolder();
    void silentBusDoesNotHang();

private:
    struct Run
    {
        QByteArray out;
        QByteArray err;
    };
    Run child(const QString &busAddress, const QStringList &args);
    std::optional<QByteArray> find(bool withService);
    void add(bool withService, const QByteArray &bytes);
    void remove(bool withService);
    std::optional<QByteArray> secretToolLookup();
    void runInPrivateSession(const QString &mode, const QByteArray &steps,
                             QList<QByteArray> *lines);
    QString fallbackFile() const
    {
        return m_dir->filePath(m_service + QLatin1Char('/') + m_account);
    }

    bool m_haveBus = false;
    QString m_busAddress;
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_service;
    const QString m_account = QStringLiteral("syncDeviceId");
};

void TestKeychain::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")
        || qEnvironmentVariableIsEmpty("XDG_CACHE_HOME"))
        qWarning("XDG_RUNTIME_DIR and XDG_CACHE_HOME should be set (scripts/test.sh does)");
    m_busAddress = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
    QProcess ping;
    ping.start(QStringLiteral("dbus-send"),
               {QStringLiteral("--session"), QStringLiteral("--print-reply"),
                QStringLiteral("--dest=org.freedesktop.DBus"),
                QStringLiteral("/org/freedesktop/DBus"),
                QStringLiteral("org.freedesktop.DBus.GetId")});
    m_haveBus = !m_busAddress.isEmpty() && ping.waitForFinished(10000) && ping.exitCode() == 0;
}

void TestKeychain::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    // A service of its own per test: nothing shared with the app's real item or other tests.
    m_service
            = QStringLiteral("com.zumbra.vorn.test.") + QUuid::createUuid().toString(QUuid::Id128);
}

void TestKeychain::cleanup()
{
    if (m_haveBus)
        remove(true);
    m_dir.reset();
}

TestKeychain::Run TestKeychain::child(const QString &busAddress, const QStringList &args)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), busAddress);
    process.setProcessEnvironment(env);
    process.start(QCoreApplication::applicationFilePath(),
                  QStringList{QString::fromLatin1(kChildFlag)} + args);
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        qWarning("keychain child did not finish within 30 s");
        return {};
    }
    return {process.readAllStandardOutput().trimmed(), process.readAllStandardError()};
}

std::optional<QByteArray> TestKeychain::find(bool withService)
{
    const Run run = child(withService ? m_busAddress : kNoBus,
                          {QStringLiteral("find"), m_service, m_account, m_dir->path()});
    if (run.out.startsWith("found"))
        return QByteArray::fromHex(run.out.mid(6));
    if (run.out != "none")
        qWarning("unexpected child output: %s %s", run.out.constData(), run.err.constData());
    return std::nullopt;
}

void TestKeychain::add(bool withService, const QByteArray &bytes)
{
    child(withService ? m_busAddress : kNoBus,
          {QStringLiteral("add"), m_service, m_account, m_dir->path(),
           QString::fromLatin1(bytes.toHex())});
}

void TestKeychain::remove(bool withService)
{
    child(withService ? m_busAddress : kNoBus,
          {QStringLiteral("remove"), m_service, m_account, m_dir->path()});
}

std::optional<QByteArray> TestKeychain::secretToolLookup()
{
    QProcess tool;
    tool.start(QStringLiteral("secret-tool"),
               {QStringLiteral("lookup"), QStringLiteral("service"), m_service,
                QStringLiteral("account"), m_account});
    if (!tool.waitForFinished(10000) || tool.exitCode() != 0)
        return std::nullopt;
    return tool.readAllStandardOutput();
}

void TestKeychain::runInPrivateSession(const QString &mode, const QByteArray &steps,
                                       QList<QByteArray> *lines)
{
    const QString root = m_dir->path();
    const QString tools = root + QStringLiteral("/tools");
    QVERIFY(QDir().mkpath(root + QStringLiteral("/home")));
    QVERIFY(QDir().mkpath(root + QStringLiteral("/runtime")));
    QVERIFY(QDir().mkpath(tools));
    QVERIFY(QFile::setPermissions(root + QStringLiteral("/runtime"),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const QList<QPair<QString, QByteArray>> scripts = {
            {QStringLiteral("wait-unlocked"), R"(
                # Asking the daemon's own name while nobody owns it would start another one.
                bus() { dbus-send --session --print-reply "$@" 2>/dev/null; }
                i=0
                until bus --dest=org.freedesktop.DBus /org/freedesktop/DBus \
                          org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets \
                          | grep -q 'boolean true' \
                      && bus --dest=org.freedesktop.secrets /org/freedesktop/secrets/aliases/default \
                          org.freedesktop.DBus.Properties.Get \
                          string:org.freedesktop.Secret.Collection string:Locked \
                          | grep -q 'boolean false'; do
                    i=$((i+1)); [ $i -lt 300 ] || { echo "keyring not unlocked" >&2; exit 1; }
                    sleep 0.1
                done
            )"},
            {QStringLiteral("lock-keyring"), R"(
                dbus-send --session --print-reply --dest=org.freedesktop.secrets \
                    /org/freedesktop/secrets org.freedesktop.Secret.Service.Lock \
                    array:objpath:/org/freedesktop/secrets/aliases/default >/dev/null
            )"},
            {QStringLiteral("replace-keyring"), R"(
                printf pw | gnome-keyring-daemon --replace --unlock --components=secrets \
                    >/dev/null 2>&1
                exec wait-unlocked
            )"},
            {QStringLiteral("restart-keyring"), R"(
                bus() { dbus-send --session --print-reply --dest=org.freedesktop.DBus \
                            /org/freedesktop/DBus "$@"; }
                pid=$(bus org.freedesktop.DBus.GetConnectionUnixProcessID \
                          string:org.freedesktop.secrets | awk '/uint32/ { print $2 }')
                kill "$pid"
                i=0
                while bus org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets \
                      | grep -q 'boolean true'; do
                    i=$((i+1)); [ $i -lt 300 ] || { echo "keyring daemon still there" >&2; exit 1; }
                    sleep 0.1
                done
                printf pw | gnome-keyring-daemon --unlock --components=secrets >/dev/null
                exec wait-unlocked
            )"},
    };
    for (const auto &[name, body] : scripts) {
        QFile file(tools + QLatin1Char('/') + name);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("#!/bin/sh\nset -e\n" + body);
        file.close();
        QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    }

    QProcess session;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PATH"),
               tools + QLatin1Char(':') + env.value(QStringLiteral("PATH")));
    env.insert(QStringLiteral("HOME"), root + QStringLiteral("/home"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), root + QStringLiteral("/home/.local/share"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), root + QStringLiteral("/home/.config"));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), root + QStringLiteral("/home/.cache"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), root + QStringLiteral("/runtime"));
    env.remove(QStringLiteral("GNOME_KEYRING_CONTROL"));
    env.insert(QStringLiteral("BIN"), QCoreApplication::applicationFilePath());
    env.insert(QStringLiteral("MODE"), mode);
    env.insert(QStringLiteral("SERVICE"), m_service);
    env.insert(QStringLiteral("ACCOUNT"), m_account);
    env.insert(QStringLiteral("FOLDER"), root + QStringLiteral("/fallback"));
    session.setProcessEnvironment(env);
    session.start(
            QStringLiteral("dbus-run-session"),
            {QStringLiteral("--"), QStringLiteral("sh"), QStringLiteral("-c"), QStringLiteral(R"(
                       set -e
                       printf pw | gnome-keyring-daemon --unlock --components=secrets >/dev/null
                       wait-unlocked
                       exec "$BIN" --keychain-child "$MODE" "$SERVICE" "$ACCOUNT" "$FOLDER"
                   )")});
    QVERIFY(session.waitForStarted());
    session.write(steps);
    session.closeWriteChannel();
    QVERIFY(session.waitForFinished(120000));
    const QByteArray errors = session.readAllStandardError();
    QVERIFY2(session.exitCode() == 0, errors.constData());
    QByteArrayList timings;
    for (const QByteArray &line : errors.split('\n'))
        if (line.contains(" took "))
            timings.append(line);
    qInfo("private session: %s", timings.join("; ").constData());
    *lines = session.readAllStandardOutput().trimmed().split('\n');
}

void TestKeychain::itemSurvivesSecretServiceComingAndGoing_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("writtenWithService");

    const QList<QPair<const char *, QByteArray>> values = {
            {"UUID text", QByteArrayLiteral("0F7C3A52-9D1B-4E8A-B6C2-5A4D3E2F1B0C")},
            {"empty", QByteArray()},
            {"invalid UTF-8", QByteArray("\xff\xfe\x80", 3)},
    };
    for (const auto &[name, bytes] : values) {
        QTest::addRow("%s, written without Secret Service", name) << bytes << false;
        QTest::addRow("%s, written with Secret Service", name) << bytes << true;
    }
}

void TestKeychain::itemSurvivesSecretServiceComingAndGoing()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, writtenWithService);
    REQUIRE_SECRET_SERVICE();

    add(writtenWithService, bytes);
    QCOMPARE(secretToolLookup().has_value(), writtenWithService);
    // Runs alternate: with, without, with. Every one sees the same bytes.
    QCOMPARE(find(true), bytes);
    QCOMPARE(secretToolLookup(), bytes); // handed over to the Secret Service
    QCOMPARE(find(false), bytes);
    QCOMPARE(find(true), bytes);
}

void TestKeychain::restoresFallbackFileFromSecretService()
{
    REQUIRE_SECRET_SERVICE();
    add(true, "identity");
    QVERIFY(QFile::remove(fallbackFile()));
    QCOMPARE(find(true), QByteArray("identity"));
    // The next run without the Secret Service still has it.
    QCOMPARE(find(false), QByteArray("identity"));
}

void TestKeychain::findsItemMadeByAnotherTool()
{
    REQUIRE_SECRET_SERVICE();
    QProcess tool;
    tool.start(QStringLiteral("secret-tool"),
               {QStringLiteral("store"), QStringLiteral("--label=made elsewhere"),
                QStringLiteral("service"), m_service, QStringLiteral("account"), m_account});
    QVERIFY(tool.waitForStarted());
    tool.write("their-id");
    tool.closeWriteChannel();
    QVERIFY(tool.waitForFinished(10000));
    QCOMPARE(tool.exitCode(), 0);

    QCOMPARE(find(true), QByteArray("their-id"));
    QCOMPARE(find(false), QByteArray("their-id"));
}

void TestKeychain::addReplacesTheItem()
{
    REQUIRE_SECRET_SERVICE();
    add(true, "first");
    add(true, "second");
    QCOMPARE(find(true), QByteArray("second"));
    QCOMPARE(find(false), QByteArray("second"));

    QProcess tool;
    tool.start(QStringLiteral("secret-tool"),
               {QStringLiteral("search"), QStringLiteral("--all"), QStringLiteral("service"),
                m_service, QStringLiteral("account"), m_account});
    QVERIFY(tool.waitForFinished(10000));
    const QByteArray listing = tool.readAllStandardOutput() + tool.readAllStandardError();
    QCOMPARE(listing.count("label = "), 1);
}

void TestKeychain::removeDeletesBothCopies()
{
    REQUIRE_SECRET_SERVICE();
    add(true, "gone-soon");
    remove(true);
    QCOMPARE(secretToolLookup(), std::nullopt);
    QVERIFY(!QFileInfo::exists(fallbackFile()));
    QCOMPARE(find(true), std::nullopt);
    QCOMPARE(find(false), std::nullopt);
}

void TestKeychain::changeWhileKeyringLockedSurvivesUnlock_data()
{
    QTest::addColumn<QString>("mode");
    QTest::newRow("a run for every step") << QStringLiteral("steps-fresh");
    QTest::newRow("one run throughout") << QStringLiteral("steps");
}

void TestKeychain::changeWhileKeyringLockedSurvivesUnlock()
{
    QFETCH(QString, mode);
    // Vorn starts before the user unlocks the keyring.
    QList<QByteArray> lines;
    runInPrivateSession(mode, R"(add 6f6c64
! lock-keyring
find
remove
add 6e6577
find
! replace-keyring
find
! secret-tool lookup service "$SERVICE" account "$ACCOUNT"; echo
)",
                        &lines);
    if (QTest::currentTestFailed())
        return;
    const QList<QByteArray> expected = {
            "found 6f6c64", // locked: the file answers, nobody is asked to unlock
            "found 6e6577", // a replacement made while locked...
            "found 6e6577", // ...is the item after the unlock
            "new", // and the Secret Service holds it
    };
    QCOMPARE(lines, expected);
}

void TestKeychain::secretServiceDaemonRestartsBetweenRequests()
{
    // The keychain's connection, and the encryption session opened over it, belong to the daemon
    // that answered first; the requests after it was restarted must reach the new one. (The
    // locked-keyring test above sees a daemon replaced with --replace.)
    QList<QByteArray> lines;
    runInPrivateSession(QStringLiteral("steps"), R"(add 6f6c64
find
! restart-keyring
find
! printf other | secret-tool store --label=other service "$SERVICE" account "$ACCOUNT"
find
add 6e6577
! secret-tool lookup service "$SERVICE" account "$ACCOUNT"; echo
)",
                        &lines);
    if (QTest::currentTestFailed())
        return;
    const QList<QByteArray> expected = {
            "found 6f6c64",
            "found 6f6c64", // from the new daemon or the file
            "found 6f74686572", // the new daemon answered, not the fallback file
            "new", // and took the change
    };
    QCOMPARE(lines, expected);
}

void TestKeychain::fallbackFileIsPrivateRawBytes()
{
    ::umask(022);
    const QByteArray bytes("\x00raw\xff", 5);
    add(false, bytes);
    QFile file(fallbackFile());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), bytes);
    struct stat info = {};
    QCOMPARE(::stat(QFile::encodeName(fallbackFile()).constData(), &info), 0);
    QCOMPARE(info.st_mode & 07777, 0600u);
    QCOMPARE(::stat(QFile::encodeName(m_dir->filePath(m_service)).constData(), &info), 0);
    QCOMPARE(info.st_mode & 07777, 0700u);
}

void TestKeychain::unsafeNamesStayInsideFallbackFolder()
{
    const QString inner = m_dir->filePath(QStringLiteral("keychain"));
    QVERIFY(QDir().mkpath(inner));
    for (const QString &service : {QStringLiteral(".."), QStringLiteral("a/../.."), QString()}) {
        child(kNoBus,
              {QStringLiteral("add"), service, QStringLiteral("x"), inner, QStringLiteral("41")});
        const Run run
                = child(kNoBus, {QStringLiteral("find"), service, QStringLiteral("x"), inner});
        QCOMPARE(run.out, QByteArray("none"));
    }
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("keychain")});
    QCOMPARE(QDir(inner).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList());
}

void TestKeychain::silentBusDoesNotHang()
{
    // A "session bus" that accepts connections and never answers: the kernel completes the
    // connection into the listen backlog, nobody ever reads from it.
    const QByteArray socketPath = QFile::encodeName(m_dir->filePath(QStringLiteral("silent-bus")));
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    QVERIFY(listener >= 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    QVERIFY(size_t(socketPath.size()) < sizeof address.sun_path);
    std::memcpy(address.sun_path, socketPath.constData(), socketPath.size());
    QCOMPARE(::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    QCOMPARE(::listen(listener, 16), 0);
    const auto closeListener = qScopeGuard([listener] { ::close(listener); });
    const QString busAddress = QStringLiteral("unix:path=") + QFile::decodeName(socketPath);

    child(busAddress,
          {QStringLiteral("add"), m_service, m_account, m_dir->path(),
           QStringLiteral("7374696c6c")});
    const Run run
            = child(busAddress, {QStringLiteral("find"), m_service, m_account, m_dir->path()});
    QCOMPARE(run.out, QByteArray("found 7374696c6c"));
    qInfo("with a silent bus: %s", run.err.trimmed().constData());
}

int main(int argc, char **argv)
{
    if (argc > 1 && std::strcmp(argv[1], kChildFlag) == 0)
        return runChild(argc, argv);
    QCoreApplication app(argc, argv);
    TestKeychain test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_keychain.moc"
