// vorn-sync: keeps Vorn's cloud folder in step with an MQTT 5 broker, like a desktop's sync
// daemon behind its key-value store. Network code, TLS and credentials live here, never in the
// process that closes applications.

#include "deviceidentity.h"
#include "localbroker.h"
#include "lockfiles_linux.h"
#include "mqttconnection.h"
#include "platform.h"
#include "printabletext.h"
#include "privatefiles_linux.h"
#include "syncbase.h"
#include "syncbridge.h"
#include "syncconfig.h"
#include "synclog.h"
#include "syncpassword.h"
#include "syncstatus.h"
#include "terminalqrcode.h"
#include "xdgpaths_linux.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <pwd.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

namespace {

const char usageText[] = R"(Usage: vorn-sync [COMMAND]

Keeps Vorn's cloud folder (%1)
in step with an MQTT 5 broker, so that the phone and your other computers see the
same block state and device registry.

Commands:
  (none)               run the bridge in the foreground (what vorn-sync.service runs)
  setup URL USER [--ca-file FILE]
                       check the password against the broker (asked for on the
                       terminal, or read from standard input), then keep it in the
                       Secret Service and the settings in %2
                       URL: mqtt://HOST[:PORT] or mqtts://HOST[:PORT] (TLS, verified
                       against the system's CAs or FILE), or over WebSockets
                       ws://HOST[:PORT][/PATH] or wss://HOST[:PORT][/PATH]
  status               connected or offline, the broker, the last exchange per key
  local-broker [--lan] [--port N] [--ws-port N] [--tls-cert FILE --tls-key FILE]
                       run a mosquitto for trying Vorn on this machine (MQTT on port
                       1884, WebSockets and the phone page on 9001, loopback only
                       unless --lan, which serves every interface without TLS but for
                       WebSockets given a certificate and key), set up this computer's
                       bridge for it, and show the phone page's address
  --help               show this text

Exit status: 0 done (status: connected), 1 failed (status: offline), 2 bad usage.
)";

int fail(const QString &message, int status = 1)
{
    // One line, whatever a URL or a name given or read holds.
    std::fprintf(stderr, "vorn-sync: %s\n", qPrintable(PrintableText::escaped(message)));
    return status;
}

void print(const QString &text)
{
    std::fputs(text.toUtf8().constData(), stdout);
    std::fflush(stdout);
}

QString loginName()
{
    if (const passwd *entry = ::getpwuid(::geteuid()))
        return QString::fromLocal8Bit(entry->pw_name);
    return qEnvironmentVariable("USER");
}

QString clientId(const QString &suffix = QString())
{
    // A keychain for this one question: its worker thread ends before the answer is returned.
    const std::unique_ptr<Keychain> keychain = Platform::createKeychain();
    return QStringLiteral("vorn-") + DeviceIdentity(keychain.get()).currentDeviceID() + suffix;
}

// SIGINT and SIGTERM end the event loop, so that the bridge says goodbye to the broker. They are
// blocked before any thread starts (threads inherit the mask) and read from a signalfd.
sigset_t terminationSignals()
{
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    return stopSignals;
}

void quitOnTerminationSignals(QCoreApplication &app)
{
    const sigset_t stopSignals = terminationSignals();
    const int fd = ::signalfd(-1, &stopSignals, SFD_NONBLOCK | SFD_CLOEXEC);
    auto *notifier = new QSocketNotifier(fd, QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [fd, &app] {
        signalfd_siginfo info{};
        while (::read(fd, &info, sizeof info) == sizeof info) { }
        app.quit();
    });
}

// A writer killed between writing a temporary file and renaming it over its file leaves the
// temporary behind; those of writers that no longer run go at every start.
void sweepTemporaries()
{
    PrivateFiles::sweepTemporaries(SyncBase::defaultFolder(), SyncBase::tempPrefix);
    PrivateFiles::sweepTemporaries(QFileInfo(SyncStatus::defaultPath()).path(),
                                   SyncStatus::tempPrefix);
    PrivateFiles::sweepTemporaries(QFileInfo(SyncConfig::path()).path(), SyncConfig::tempPrefix);
    PrivateFiles::sweepTemporaries(LocalBroker::defaultFolder(), LocalBroker::tempPrefix);
}

int runBridge(QCoreApplication &app)
{
    QString error;
    const std::optional<SyncConfig> config = SyncConfig::load(SyncConfig::path(), &error);
    if (!config)
        return fail(error);
    // Two bridges of one computer share its client id, so the broker would keep closing one for
    // the other: the second one stops here instead.
    const QString syncFolder = QFileInfo(SyncStatus::defaultPath()).absolutePath();
    if (!PrivateFiles::makePrivateFolder(syncFolder))
        return fail(QStringLiteral("cannot use %1").arg(syncFolder));
    QLockFile bridgeLock(syncFolder + QStringLiteral("/bridge.lock"));
    bridgeLock.setStaleLockTime(0);
    qint64 holder = 0;
    switch (LockFiles::claim(bridgeLock, &holder)) {
    case LockFiles::Claim::Taken:
        break;
    case LockFiles::Claim::Held:
        return fail(QStringLiteral("another vorn-sync bridge is running (pid %1)").arg(holder));
    case LockFiles::Claim::Unusable:
        return fail(QStringLiteral("cannot create %1").arg(bridgeLock.fileName()));
    }
    const SyncPassword::Lookup password = SyncPassword::find(config->passwordAccount());
    if (password.status == SyncPassword::Status::Unavailable)
        return fail(QStringLiteral("cannot read the broker password from the Secret Service (no "
                                   "session bus, or the keyring is locked)"));
    if (password.status == SyncPassword::Status::NoItem)
        return fail(QStringLiteral("no password for %1 in the Secret Service: run 'vorn-sync "
                                   "setup %2 %3'")
                            .arg(config->passwordAccount(), config->broker.url(), config->user));

    SyncBridge::Options options;
    options.cloudFolder = XdgPaths::cloudFolder();
    options.baseFolder = SyncBase::defaultFolder();
    options.statusFile = SyncStatus::defaultPath();
    options.connection.broker = config->broker;
    options.connection.user = config->user;
    options.connection.password = password.password;
    options.connection.caFile = config->caFile;
    options.connection.clientId = clientId();
    SyncBridge bridge(options);
    quitOnTerminationSignals(app);
    bridge.start();
    const int status = app.exec();
    bridge.stop();
    return status;
}

// The terminal's settings while the password is typed without echo: a signal that ends setup
// there (Ctrl+C) puts them back first.
termios g_savedTerminal{};

void restoreTerminalAndDie(int signal)
{
    ::tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerminal);
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

std::optional<QByteArray> readPassword(const QString &prompt)
{
    QByteArray line;
    const bool terminal
            = ::isatty(STDIN_FILENO) && ::tcgetattr(STDIN_FILENO, &g_savedTerminal) == 0;
    const termios saved = g_savedTerminal;
    if (terminal) {
        std::fprintf(stderr, "%s", qPrintable(prompt));
        std::fflush(stderr);
        for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
            ::signal(signal, restoreTerminalAndDie);
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    for (;;) {
        const int c = std::fgetc(stdin);
        if (c == EOF || c == '\n')
            break;
        line += char(c);
    }
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
            ::signal(signal, SIG_DFL);
        std::fprintf(stderr, "\n");
    }
    if (line.endsWith('\r'))
        line.chop(1);
    if (line.isEmpty())
        return std::nullopt;
    return line;
}

struct CheckResult
{
    bool ok = false;
    QString message;
};

// One connection attempt with these settings, and a subscription to the user's keys.
CheckResult checkBroker(const MqttConnection::Settings &settings)
{
    MqttConnection connection(settings);
    QEventLoop loop;
    CheckResult result{false, QStringLiteral("no answer from the broker within 20 s")};
    int subscription = -1;
    QObject::connect(&connection, &MqttConnection::connected, &loop, [&] {
        subscription = connection.subscribe({"vorn/" + settings.user.toUtf8() + "/kv/+"});
    });
    QObject::connect(&connection, &MqttConnection::subscribeAcknowledged, &loop,
                     [&](int mid, const QList<int> &granted) {
                         if (mid != subscription)
                             return;
                         if (granted.value(0, 0x80) < 0x80)
                             result = {true, QString()};
                         else
                             result.message = QStringLiteral("the broker does not let %1 read "
                                                             "vorn/%1/kv/+: its ACL needs "
                                                             "'pattern readwrite vorn/%u/#'")
                                                      .arg(settings.user);
                         loop.quit();
                     });
    QObject::connect(&connection, &MqttConnection::connectFailed, &loop,
                     [&](MqttConnection::Failure failure, const QString &message) {
                         result.message = failure == MqttConnection::Failure::NotAuthorised
                                 ? QStringLiteral("the broker refused the credentials of %1: "
                                                  "not authorised")
                                           .arg(settings.user)
                                 : message;
                         loop.quit();
                     });
    QObject::connect(&connection, &MqttConnection::connectionLost, &loop,
                     [&](const QString &reason) {
                         result.message = reason;
                         loop.quit();
                     });
    QTimer::singleShot(20000, &loop, &QEventLoop::quit);
    connection.start(false);
    loop.exec();
    connection.stop();
    return result;
}

int setup(const QStringList &args)
{
    QStringList positional;
    QString caFile;
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--ca-file") && i + 1 < args.size())
            caFile = args[++i];
        else if (args[i].startsWith(QLatin1String("--")))
            return fail(QStringLiteral("unknown option %1 (see --help)").arg(args[i]), 2);
        else
            positional.append(args[i]);
    }
    if (positional.size() != 2)
        return fail(QStringLiteral("usage: vorn-sync setup URL USER [--ca-file FILE]"), 2);
    QString error;
    const std::optional<BrokerAddress> broker = BrokerAddress::parse(positional[0], &error);
    if (!broker)
        return fail(QStringLiteral("bad broker URL: %1").arg(error), 2);
    if (!caFile.isEmpty() && !QFile::exists(caFile))
        return fail(QStringLiteral("no CA file %1").arg(caFile), 2);

    if (const QString problem = SyncConfig::userProblem(positional[1]); !problem.isEmpty())
        return fail(problem, 2);
    SyncConfig config;
    config.broker = *broker;
    config.user = positional[1];
    config.caFile = caFile;
    const std::optional<QByteArray> password = readPassword(
            QStringLiteral("Password for %1 at %2: ").arg(config.user, config.broker.host));
    if (!password)
        return fail(QStringLiteral("no password given"), 2);

    MqttConnection::Settings settings;
    settings.broker = config.broker;
    settings.user = config.user;
    settings.password = *password;
    settings.caFile = config.caFile;
    settings.clientId = clientId(QStringLiteral("-setup"));
    settings.sessionExpirySeconds = 0; // the check leaves no session behind on the broker
    const CheckResult check = checkBroker(settings);
    if (!check.ok)
        return fail(check.message);
    if (!SyncPassword::store(config.passwordAccount(), *password))
        return fail(QStringLiteral("could not store the password in the Secret Service (no "
                                   "session bus, or the keyring is locked)"));
    if (!config.save(SyncConfig::path()))
        return fail(QStringLiteral("cannot write %1").arg(SyncConfig::path()));
    print(QStringLiteral("vorn-sync: %1 accepted %2; the password is in the Secret Service, the "
                         "settings in %3\n")
                  .arg(config.broker.url(), config.user, SyncConfig::path()));
    return 0;
}

int status()
{
    QString error;
    const std::optional<SyncConfig> config = SyncConfig::load(SyncConfig::path(), &error);
    if (!config)
        return fail(error);
    QFile file(SyncStatus::defaultPath());
    if (!file.open(QIODevice::ReadOnly)) {
        print(QStringLiteral("offline: %1 as %2 (vorn-sync has not run yet)\n")
                      .arg(config->broker.url(), config->user));
        return 1;
    }
    bool connected = false;
    print(SyncStatus::report(file.readAll(), &connected));
    return connected ? 0 : 1;
}

int localBroker(const QStringList &args)
{
    LocalBroker::Options options;
    for (qsizetype i = 0; i < args.size(); ++i) {
        bool ok = true;
        if (args[i] == QLatin1String("--lan"))
            options.lan = true;
        else if (args[i] == QLatin1String("--port") && i + 1 < args.size())
            options.mqttPort = args[++i].toInt(&ok);
        else if (args[i] == QLatin1String("--ws-port") && i + 1 < args.size())
            options.webSocketPort = args[++i].toInt(&ok);
        else if (args[i] == QLatin1String("--tls-cert") && i + 1 < args.size())
            options.tlsCertificate = QFileInfo(args[++i]).absoluteFilePath();
        else if (args[i] == QLatin1String("--tls-key") && i + 1 < args.size())
            options.tlsKey = QFileInfo(args[++i]).absoluteFilePath();
        else
            return fail(QStringLiteral("unknown argument %1 (see --help)").arg(args[i]), 2);
        if (!ok || options.mqttPort <= 0 || options.mqttPort > 65535 || options.webSocketPort <= 0
            || options.webSocketPort > 65535)
            return fail(QStringLiteral("a port is a number from 1 to 65535"), 2);
    }
    if (options.tlsCertificate.isEmpty() != options.tlsKey.isEmpty())
        return fail(QStringLiteral("--tls-cert and --tls-key go together"), 2);
    for (const QString &file : {options.tlsCertificate, options.tlsKey}) {
        if (!file.isEmpty() && !QFileInfo(file).isReadable())
            return fail(QStringLiteral("cannot read %1").arg(file), 2);
    }
    options.folder = LocalBroker::defaultFolder();
    options.user = loginName();
    options.runAsUser = options.user;
    options.pageFolder = LocalBroker::findPageFolder(QCoreApplication::applicationDirPath());

    SyncConfig config;
    config.broker
            = *BrokerAddress::parse(QStringLiteral("mqtt://127.0.0.1:%1").arg(options.mqttPort));
    config.user = options.user;
    // Keep the password of an earlier run, so that a phone that saved it still gets in.
    const SyncPassword::Lookup stored = SyncPassword::find(config.passwordAccount());
    const QByteArray password
            = stored.status == SyncPassword::Status::Ok && !stored.password.isEmpty()
            ? stored.password
            : LocalBroker::randomPassword();

    const LocalBroker broker(options);
    QString error;
    if (!broker.writeFiles(password, &error))
        return fail(error);
    const bool keptPassword = SyncPassword::store(config.passwordAccount(), password);
    if (!config.save(SyncConfig::path()))
        return fail(QStringLiteral("cannot write %1").arg(SyncConfig::path()));

    return broker.run([&] {
        QString text = broker.warning();
        text += QStringLiteral("vorn-sync: local broker running: mqtt://%1:%2 (MQTT), "
                               "%4://%1:%3 (WebSockets)\n")
                        .arg(broker.advertisedHost())
                        .arg(options.mqttPort)
                        .arg(options.webSocketPort)
                        .arg(broker.hasTls() ? QStringLiteral("wss") : QStringLiteral("ws"));
        text += QStringLiteral("user %1, password %2\n")
                        .arg(options.user, QString::fromUtf8(password));
        if (!keptPassword)
            text += QStringLiteral("vorn-sync: could not keep the password in the Secret Service; "
                                   "run 'vorn-sync setup %1 %2' with it to start the bridge\n")
                            .arg(config.broker.url(), config.user);
        if (options.pageFolder.isEmpty())
            text += QStringLiteral("vorn-sync: no phone page found yet (build the phone-page "
                                   "target, or set VORN_PHONE_PAGE_DIR); serving none\n");
        text += QStringLiteral("Open this on the phone:\n");
        text += TerminalQrCode::render(broker.pageAddress());
        text += broker.pageAddress() + QLatin1Char('\n');
        text += QStringLiteral("This computer's bridge is set up for it: run 'vorn-sync'. "
                               "Ctrl+C stops the broker.\n");
        print(text);
    });
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 1) {
        // The bridge: before anything can start a thread.
        const sigset_t stopSignals = terminationSignals();
        sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    }
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vorn-sync"));
    qSetMessagePattern(QStringLiteral("vorn-sync: %{message}"));

    QStringList args = app.arguments().mid(1);
    const QString command = args.isEmpty() ? QString() : args.takeFirst();
    if (command == QLatin1String("--help") || command == QLatin1String("-h")) {
        print(QString::fromUtf8(usageText).arg(XdgPaths::cloudFolder(), SyncConfig::path()));
        return 0;
    }
    sweepTemporaries();
    if (command.isEmpty())
        return runBridge(app);
    if (command == QLatin1String("setup"))
        return setup(args);
    if (command == QLatin1String("status"))
        return status();
    if (command == QLatin1String("local-broker"))
        return localBroker(args);
    return fail(QStringLiteral("unknown command %1 (see --help)").arg(command), 2);
}
