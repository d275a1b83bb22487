#include "singleinstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>

namespace {
constexpr qsizetype maxLineLength = 256;
}

SingleInstance::SingleInstance(const QString &directory, QObject *parent)
    : QObject(parent)
    , m_socketPath(QDir(directory).filePath(QStringLiteral("vorn.socket")))
    , m_lock(std::make_unique<QLockFile>(QDir(directory).filePath(QStringLiteral("vorn.lock"))))
{
    QDir().mkpath(directory);
    // A held lock never goes stale by age; only the death of its holder frees it.
    m_lock->setStaleLockTime(0);
}

SingleInstance::~SingleInstance()
{
    if (m_server)
        m_server->close(); // removes the socket file
}

QString SingleInstance::defaultDirectory()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty())
        return runtime;
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
}

SingleInstance::Claim SingleInstance::claim()
{
    if (!m_lock->tryLock(0)) {
        if (m_lock->error() == QLockFile::LockFailedError)
            return Claim::Secondary;
        // The folder cannot hold a lock: run anyway rather than leave the computer unguarded.
        qWarning("vorn: cannot create %s; running without the single-instance guard",
                 qPrintable(QDir::toNativeSeparators(m_socketPath)));
        return Claim::Primary;
    }
    // Holding the lock, any socket file left here belongs to a process that is gone.
    QLocalServer::removeServer(m_socketPath);
    if (!m_server) {
        m_server = new QLocalServer(this);
        connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::acceptConnections);
    }
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(m_socketPath)) {
        qWarning("vorn: cannot listen on %s: %s", qPrintable(m_socketPath),
                 qPrintable(m_server->errorString()));
        return Claim::Primary;
    }
    return Claim::Primary;
}

void SingleInstance::release()
{
    // The server object stays: the connections it accepted are its children and may still be
    // writing their answers.
    if (m_server)
        m_server->close();
    m_lock->unlock();
}

void SingleInstance::acceptConnections()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, socket, [this, socket] {
            if (!socket->canReadLine()) {
                if (socket->bytesAvailable() > maxLineLength)
                    socket->abort();
                return;
            }
            const QByteArray request = socket->readLine(maxLineLength + 1).trimmed();
            const QByteArray answer = m_handler ? m_handler(request) : QByteArrayLiteral("error");
            socket->write(answer + '\n');
            socket->disconnectFromServer(); // after the answer has been written
        });
    }
}

std::optional<QByteArray> SingleInstance::send(const QString &socketPath, const QByteArray &request,
                                               int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    QLocalSocket socket;
    for (;;) {
        socket.connectToServer(socketPath);
        if (socket.waitForConnected(int(qMax<qint64>(0, deadline.remainingTime()))))
            break;
        // The running instance may hold the lock but not listen yet.
        if (deadline.hasExpired())
            return std::nullopt;
        QThread::msleep(50);
    }
    socket.write(request + '\n');
    if (!socket.waitForBytesWritten(int(qMax<qint64>(0, deadline.remainingTime()))))
        return std::nullopt;
    while (!socket.canReadLine()) {
        if (deadline.hasExpired()
            || !socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime()))))
            return std::nullopt;
    }
    return socket.readLine(maxLineLength + 1).trimmed();
}
