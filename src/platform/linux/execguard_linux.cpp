#include "execguard_linux.h"

#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr int retryMs = 5000;

void log(const QByteArray &line)
{
    const QByteArray bytes = "vorn: " + line + '\n';
    [[maybe_unused]] const ssize_t written
            = ::write(STDERR_FILENO, bytes.constData(), size_t(bytes.size()));
}

} // namespace

ExecGuardClient::ExecGuardClient(const QString &socketPath, QObject *parent)
    : QObject(parent)
    , m_socketPath(!socketPath.isEmpty()
                           ? socketPath
                           : qEnvironmentVariable("VORN_GUARD_SOCKET",
                                                  QStringLiteral("/run/vorn-guard.socket")))
    , m_retry(new QTimer(this))
{
    m_retry->setInterval(retryMs);
    connect(m_retry, &QTimer::timeout, this, &ExecGuardClient::connectToGuard);
    connectToGuard();
}

ExecGuardClient::~ExecGuardClient()
{
    disconnectFromGuard();
}

void ExecGuardClient::setState(const ExecGuardProtocol::State &state)
{
    m_state = state;
    if (state.blocking)
        logOnce();
    sendState();
}

void ExecGuardClient::forwardRecord(const ExecGuardProtocol::Record &record)
{
    m_records.insert(record.key, record);
    sendState();
}

void ExecGuardClient::setPairings(const QList<ExecGuardProtocol::Pairing> &phones)
{
    QHash<QString, ExecGuardProtocol::Pairing> pairings;
    for (const ExecGuardProtocol::Pairing &phone : phones)
        pairings.insert(phone.fingerprint, phone);
    for (auto it = m_pairings.cbegin(); it != m_pairings.cend(); ++it) {
        if (!pairings.contains(it.key()))
            m_unpaired.insert(it.key());
    }
    for (auto it = pairings.cbegin(); it != pairings.cend(); ++it)
        m_unpaired.remove(it.key());
    m_pairings = pairings;
    sendState();
}

void ExecGuardClient::sendRecovery(const QString &code)
{
    ExecGuardProtocol::Pairing recovery;
    recovery.type = QStringLiteral("recover");
    recovery.code = code;
    if (m_fd >= 0)
        send(ExecGuardProtocol::encode(recovery));
}

void ExecGuardClient::connectToGuard()
{
    const QByteArray path = QFile::encodeName(m_socketPath);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (size_t(path.size()) >= sizeof address.sun_path)
        return;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        if (fd >= 0)
            ::close(fd);
        m_retry->start();
        return;
    }
    m_retry->stop();
    m_fd = fd;
    m_sent.reset();
    m_sentRecords.clear();
    m_sentPairings.clear();
    m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &ExecGuardClient::readMessages);
    sendState();
}

void ExecGuardClient::disconnectFromGuard()
{
    if (m_fd < 0)
        return;
    delete m_notifier;
    m_notifier = nullptr;
    ::close(m_fd);
    m_fd = -1;
    m_sent.reset();
    m_sentRecords.clear();
    m_sentPairings.clear();
    if (m_enforcing) {
        m_enforcing = false;
        Q_EMIT enforcingChanged();
    }
}

void ExecGuardClient::readMessages()
{
    QByteArray message(ExecGuardProtocol::maxMessageSize, Qt::Uninitialized);
    for (;;) {
        const ssize_t length = ::recv(m_fd, message.data(), size_t(message.size()), 0);
        if (length < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        if (length <= 0) {
            // The guard stopped (restarts included): connect again when it is back.
            disconnectFromGuard();
            m_retry->start();
            return;
        }
        const QByteArray received = message.left(length);
        if (const auto status = ExecGuardProtocol::decodeStatus(received)) {
            if (status->enforcing != m_enforcing) {
                m_enforcing = status->enforcing;
                Q_EMIT enforcingChanged();
            }
        } else if (const auto refusal = ExecGuardProtocol::decodeRefusal(received)) {
            Q_EMIT refused(refusal->id);
        }
    }
}

void ExecGuardClient::sendState()
{
    for (const ExecGuardProtocol::Record &record : std::as_const(m_records)) {
        if (m_fd < 0)
            return;
        if (m_sentRecords.value(record.key) != record && send(ExecGuardProtocol::encode(record)))
            m_sentRecords.insert(record.key, record);
    }
    if (m_fd >= 0 && m_sent != m_state && send(ExecGuardProtocol::encode(m_state)))
        m_sent = m_state;
    // After the state: the guard pairs nothing for a user it knows to be blocking.
    for (const QString &fingerprint : QSet<QString>(m_unpaired)) {
        ExecGuardProtocol::Pairing unpair;
        unpair.type = QStringLiteral("unpair");
        unpair.fingerprint = fingerprint;
        if (m_fd >= 0 && send(ExecGuardProtocol::encode(unpair)))
            m_unpaired.remove(fingerprint);
    }
    for (const ExecGuardProtocol::Pairing &phone : std::as_const(m_pairings)) {
        // A phone paired again comes with the new recovery code's salt and hash.
        if (m_fd >= 0 && m_sentPairings.value(phone.fingerprint) != phone
            && send(ExecGuardProtocol::encode(phone)))
            m_sentPairings.insert(phone.fingerprint, phone);
    }
}

bool ExecGuardClient::send(const QByteArray &message)
{
    if (::send(m_fd, message.constData(), size_t(message.size()), MSG_NOSIGNAL) == message.size())
        return true;
    if (errno == EMSGSIZE)
        log("a message is too long for the exec guard");
    else if (errno != EAGAIN)
        disconnectFromGuard(), m_retry->start();
    return false;
}

void ExecGuardClient::logOnce()
{
    if (m_logged)
        return;
    m_logged = true;
    log(m_fd >= 0 ? "an exec guard refuses blocked programs before they start"
                  : "no exec guard; blocked applications are closed after they start");
}
