#include "localbroker.h"

#include "privatefiles_linux.h"
#include "xdgpaths_linux.h"

#include <QDir>
#include <QFileInfo>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QRandomGenerator>
#include <QSet>
#include <QUrlQuery>

#include <openssl/evp.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Whether the process itself listens on the TCP port: the port answering is not enough, since
// another broker may hold it while ours fails to bind and exits.
bool listensOn(pid_t pid, int port)
{
    QSet<QByteArray> sockets;
    const QByteArray hexPort = QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile file(QString::fromLatin1(table));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        // sl local_address rem_address st ... inode: "0A" is LISTEN.
        for (const QByteArray &line : file.readAll().split('\n')) {
            const QByteArrayList fields = line.simplified().split(' ');
            if (fields.size() > 9 && fields[1].endsWith(':' + hexPort) && fields[3] == "0A")
                sockets.insert("socket:[" + fields[9] + ']');
        }
    }
    const QString fds = QStringLiteral("/proc/%1/fd").arg(pid);
    const QStringList entries = QDir(fds).entryList(QDir::System | QDir::NoDotAndDotDot);
    for (const QString &fd : entries) {
        char target[64] = {};
        const QByteArray link = QFile::encodeName(fds + QLatin1Char('/') + fd);
        const ssize_t length = ::readlink(link.constData(), target, sizeof target - 1);
        if (length > 0 && sockets.contains(QByteArray(target, length)))
            return true;
    }
    return false;
}

} // namespace

LocalBroker::LocalBroker(Options options)
    : m_options(std::move(options))
{
}

QString LocalBroker::defaultFolder()
{
    return XdgPaths::vornStateFolder() + QStringLiteral("/broker");
}

QString LocalBroker::configPath() const
{
    return m_options.folder + QStringLiteral("/mosquitto.conf");
}

QByteArray LocalBroker::configText() const
{
    const QByteArray folder = QFile::encodeName(m_options.folder);
    const QByteArray mqtt = QByteArray::number(m_options.mqttPort);
    const QByteArray ws = QByteArray::number(m_options.webSocketPort);
    QByteArray text = "# Written by vorn-sync local-broker; it is rewritten at every start.\n"
                      "user "
            + m_options.runAsUser.toUtf8()
            + "\n"
              "per_listener_settings false\n"
              "allow_anonymous false\n"
              "password_file "
            + folder + "/passwd\nacl_file " + folder
            + "/acl\n"
              "persistence true\n"
              "persistence_location "
            + folder
            + "/data/\n"
              "# Save after every change: an acknowledged retained value must survive a crash.\n"
              "autosave_on_changes true\n"
              "autosave_interval 1\n"
              "set_tcp_nodelay true\n"
              "# A joining computer or phone gets every retained value at once: the default queue\n"
              "# of 1,000 messages per client would drop the rest.\n"
              "max_queued_messages 20000\n"
              "max_queued_bytes 268435456\n"
              "# Values over 1 MiB are refused (the bridge and the page would ignore them).\n"
              "message_size_limit 1048576\n"
              "log_dest stderr\n"
              "log_type error\nlog_type warning\n\n";
    if (m_options.lan) {
        text += "listener " + mqtt + "\n\nlistener " + ws + "\n";
    } else {
        // A WebSockets listener ignores an address and binds everything; an interface name
        // keeps it on loopback.
        text += "listener " + mqtt + " 127.0.0.1\n\nlistener " + ws + " lo\n";
    }
    text += "protocol websockets\n";
    if (hasTls())
        text += "certfile " + QFile::encodeName(m_options.tlsCertificate) + "\nkeyfile "
                + QFile::encodeName(m_options.tlsKey) + "\n";
    if (!m_options.pageFolder.isEmpty())
        text += "http_dir " + QFile::encodeName(m_options.pageFolder) + "\n";
    return text;
}

QByteArray LocalBroker::passwordFileLine(const QString &user, const QByteArray &password,
                                         const QByteArray &salt)
{
    constexpr int iterations = 101;
    unsigned char hash[64];
    PKCS5_PBKDF2_HMAC(password.constData(), int(password.size()),
                      reinterpret_cast<const unsigned char *>(salt.constData()), int(salt.size()),
                      iterations, EVP_sha512(), int(sizeof hash), hash);
    return user.toUtf8() + ":$7$" + QByteArray::number(iterations) + '$' + salt.toBase64() + '$'
            + QByteArray(reinterpret_cast<const char *>(hash), sizeof hash).toBase64() + '\n';
}

QByteArray LocalBroker::randomPassword()
{
    // 128 random bits, written without characters that are hard to type on a phone.
    static const char alphabet[] = "abcdefghijkmnpqrstuvwxyz23456789";
    QByteArray password;
    for (int i = 0; i < 26; ++i)
        password += alphabet[QRandomGenerator::system()->bounded(32)];
    return password;
}

bool LocalBroker::writeFiles(const QByteArray &password, QString *error) const
{
    const QString folder = m_options.folder;
    if (!PrivateFiles::makePrivateFolder(folder + QStringLiteral("/data"))) {
        *error = QStringLiteral("cannot create %1").arg(folder);
        return false;
    }
    QByteArray salt(12, Qt::Uninitialized);
    QRandomGenerator::system()->generate(salt.begin(), salt.end());
    const bool ok = PrivateFiles::replaceAtomically(
                            folder + QStringLiteral("/passwd"),
                            passwordFileLine(m_options.user, password, salt), tempPrefix)
            && PrivateFiles::replaceAtomically(
                            folder + QStringLiteral("/acl"),
                            "# Each user reads and writes only its own subtree.\n"
                            "pattern readwrite vorn/%u/#\n",
                            tempPrefix)
            && PrivateFiles::replaceAtomically(configPath(), configText(), tempPrefix);
    if (!ok)
        *error = QStringLiteral("cannot write the broker's files in %1").arg(folder);
    return ok;
}

QString LocalBroker::advertisedHost() const
{
    if (!m_options.lan)
        return QStringLiteral("127.0.0.1");
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &interface : interfaces) {
        if (!(interface.flags() & QNetworkInterface::IsUp)
            || (interface.flags() & QNetworkInterface::IsLoopBack))
            continue;
        for (const QNetworkAddressEntry &entry : interface.addressEntries()) {
            const QHostAddress ip = entry.ip();
            if (ip.protocol() == QAbstractSocket::IPv4Protocol && !ip.isLoopback())
                return ip.toString();
        }
    }
    return QStringLiteral("127.0.0.1");
}

QString LocalBroker::pageAddress() const
{
    const QString origin
            = QStringLiteral("%1:%2").arg(advertisedHost()).arg(m_options.webSocketPort);
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("broker"),
                       (hasTls() ? QStringLiteral("wss://") : QStringLiteral("ws://")) + origin);
    query.addQueryItem(QStringLiteral("user"), m_options.user);
    return QStringLiteral("%1://%2/?%3")
            .arg(hasTls() ? QStringLiteral("https") : QStringLiteral("http"), origin,
                 query.toString(QUrl::FullyEncoded));
}

QString LocalBroker::warning() const
{
    if (!m_options.lan)
        return {};
    if (!hasTls())
        return QStringLiteral("vorn-sync: warning: --lan serves MQTT (port %1), WebSockets and the "
                              "phone page (port %2) without TLS on every network interface: "
                              "anyone on this network can read the password and every value. "
                              "--tls-cert and --tls-key give the WebSockets listener TLS.\n")
                .arg(m_options.mqttPort)
                .arg(m_options.webSocketPort);
    return QStringLiteral("vorn-sync: warning: --lan serves plain MQTT (port %1) without TLS on "
                          "every network interface; only the WebSockets listener (port %2) has "
                          "TLS.\n")
            .arg(m_options.mqttPort)
            .arg(m_options.webSocketPort);
}

QString LocalBroker::findPageFolder(const QString &programDir)
{
    QStringList candidates;
    const QString fromEnvironment = qEnvironmentVariable("VORN_PHONE_PAGE_DIR");
    if (!fromEnvironment.isEmpty())
        candidates.append(fromEnvironment);
    candidates.append(programDir + QStringLiteral("/phone"));
    candidates.append(programDir + QStringLiteral("/../share/vorn/phone"));
    for (const QString &candidate : candidates) {
        if (QFileInfo(candidate).isDir())
            return QDir(candidate).canonicalPath();
    }
    return {};
}

int LocalBroker::run(const std::function<void()> &ready) const
{
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGCHLD})
        sigaddset(&stopSignals, signal);
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &stopSignals, &previous);

    const QByteArray config = QFile::encodeName(configPath());
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child < 0) {
        std::perror("vorn-sync: fork");
        return 1;
    }
    if (child == 0) {
        // The broker must not outlive vorn-sync, however vorn-sync ends.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(1);
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        ::execlp("mosquitto", "mosquitto", "-c", config.constData(), static_cast<char *>(nullptr));
        std::perror("vorn-sync: cannot run mosquitto (install the mosquitto package)");
        ::_exit(127);
    }

    auto stopBroker = [child] {
        ::kill(child, SIGTERM);
        int status = 0;
        ::waitpid(child, &status, 0);
    };
    auto brokerEnded = [child](int *exitStatus) {
        int status = 0;
        if (::waitpid(child, &status, WNOHANG) != child)
            return false;
        *exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return true;
    };

    bool announced = false;
    for (;;) {
        timespec wait{0, 50 * 1000 * 1000};
        siginfo_t info{};
        const int signal = sigtimedwait(&stopSignals, &info, &wait);
        int exitStatus = 0;
        if (brokerEnded(&exitStatus)) {
            std::fprintf(stderr, "vorn-sync: mosquitto stopped (exit status %d)\n", exitStatus);
            return 1;
        }
        if (signal == SIGINT || signal == SIGTERM || signal == SIGHUP) {
            stopBroker();
            return 0;
        }
        if (!announced && listensOn(child, m_options.mqttPort)
            && listensOn(child, m_options.webSocketPort)) {
            announced = true;
            ready();
        }
    }
}
