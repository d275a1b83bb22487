// Implementation notes
//
// Raw sockets under QSocketNotifier rather than QLocalServer: QLocalServer closes itself (and
// removes its socket file) on the first failed accept, which is what running out of descriptors
// looks like, and it never listens again. Here every accept failure is retried.

#include "requestserver.h"

#include "requestline.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {
Q_LOGGING_CATEGORY(lcShell, "vorn")
}

namespace {

constexpr int kRetryMs = 200;
constexpr int kBacklog = 64;

quint64 inodeOf(const QByteArray &path)
{
    struct stat info = {};
    if (::lstat(path.constData(), &info) != 0 || !S_ISSOCK(info.st_mode))
        return 0;
    return quint64(info.st_ino);
}

} // namespace

struct RequestServer::Connection
{
    int fd = -1;
    std::unique_ptr<QSocketNotifier> notifier;
    QByteArray received;
    QElapsedTimer age;

    ~Connection()
    {
        // The notifier may be the one whose signal is being handled right now.
        if (notifier) {
            notifier->setEnabled(false);
            notifier.release()->deleteLater();
        }
        if (fd >= 0)
            ::close(fd);
    }
};

RequestServer::RequestServer(const QString &socketPath, QObject *parent)
    : QObject(parent)
    , m_socketPath(socketPath)
    , m_retryTimer(new QTimer(this))
    , m_checkTimer(new QTimer(this))
{
    m_retryTimer->setSingleShot(true);
    m_retryTimer->setInterval(kRetryMs);
    connect(m_retryTimer, &QTimer::timeout, this, [this] {
        if (m_acceptNotifier)
            m_acceptNotifier->setEnabled(true);
        acceptPending();
    });
    m_checkTimer->setInterval(checkIntervalMs);
    connect(m_checkTimer, &QTimer::timeout, this, &RequestServer::checkSocketFile);
}

RequestServer::~RequestServer()
{
    m_connections.clear();
    closeListener();
    // Removes the socket file only while it is still the one this server bound.
    const QByteArray path = QFile::encodeName(m_socketPath);
    if (m_socketInode != 0 && inodeOf(path) == m_socketInode)
        ::unlink(path.constData());
}

bool RequestServer::listen()
{
    m_checkTimer->start();
    closeListener();
    const QByteArray path = QFile::encodeName(m_socketPath);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (size_t(path.size()) >= sizeof address.sun_path) {
        qCWarning(lcShell, "the socket path %s is too long", path.constData());
        return false;
    }
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    ::unlink(path.constData());
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0
        || ::chmod(path.constData(), 0600) != 0 || ::listen(fd, kBacklog) != 0) {
        qCWarning(lcShell, "cannot listen on %s: %s", path.constData(), std::strerror(errno));
        ::close(fd);
        return false;
    }
    m_listenFd = fd;
    m_socketInode = inodeOf(path);
    m_acceptNotifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    connect(m_acceptNotifier.get(), &QSocketNotifier::activated, this,
            &RequestServer::acceptPending);
    return true;
}

void RequestServer::closeListener()
{
    m_acceptNotifier.reset();
    if (m_listenFd >= 0)
        ::close(m_listenFd);
    m_listenFd = -1;
}

void RequestServer::acceptPending()
{
    while (m_listenFd >= 0) {
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return;
            if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO)
                continue;
            // Out of descriptors or memory: free one by dropping the oldest connection, or wait
            // a moment with the notifier off so that the pending client does not spin the loop.
            if (!m_connections.empty()) {
                dropOldest();
                continue;
            }
            m_acceptNotifier->setEnabled(false);
            m_retryTimer->start();
            return;
        }
        if (int(m_connections.size()) >= maxConnections)
            dropOldest();
        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        connection->age.start();
        connection->notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        Connection *raw = connection.get();
        connect(raw->notifier.get(), &QSocketNotifier::activated, this,
                [this, raw] { readFrom(raw); });
        m_connections.push_back(std::move(connection));
    }
}

void RequestServer::readFrom(Connection *connection)
{
    char chunk[RequestLine::maxLength + 1];
    const ssize_t got = ::read(connection->fd, chunk, sizeof chunk);
    if (got < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (got <= 0) {
        drop(connection);
        return;
    }
    connection->received.append(chunk, got);
    const RequestLine::Result line = RequestLine::take(connection->received);
    if (line.status == RequestLine::Status::Incomplete)
        return;
    if (line.status == RequestLine::Status::Complete) {
        const QByteArray answer
                = (m_handler ? m_handler(line.request) : QByteArrayLiteral("error")) + '\n';
        // One small answer fits the socket buffer; a client that does not read it loses it.
        [[maybe_unused]] const ssize_t sent
                = ::send(connection->fd, answer.constData(), size_t(answer.size()), MSG_NOSIGNAL);
    }
    drop(connection);
}

void RequestServer::drop(Connection *connection)
{
    m_connections.remove_if([connection](const auto &held) { return held.get() == connection; });
}

void RequestServer::dropOldest()
{
    if (!m_connections.empty())
        m_connections.pop_front();
}

void RequestServer::checkSocketFile()
{
    while (!m_connections.empty() && m_connections.front()->age.hasExpired(idleLimitMs))
        m_connections.pop_front();
    const QByteArray path = QFile::encodeName(m_socketPath);
    if (m_listenFd < 0 || m_socketInode == 0 || inodeOf(path) != m_socketInode)
        listen();
}
