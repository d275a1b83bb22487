#include "singleinstance.h"

#include "lockfiles_linux.h"
#include "requestline.h"
#include "requestserver.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QLoggingCategory>
#include <QStandardPaths>
#include <QThread>

namespace {
Q_LOGGING_CATEGORY(lcShell, "vorn")
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

SingleInstance::~SingleInstance() = default;

QString SingleInstance::defaultDirectory()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty())
        return runtime;
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
}

SingleInstance::Claim SingleInstance::claim()
{
    const LockFiles::Claim claimed = LockFiles::claim(*m_lock);
    if (claimed != LockFiles::Claim::Taken) {
        if (claimed == LockFiles::Claim::Held)
            return Claim::Secondary;
        // The folder cannot hold a lock: run anyway rather than leave the computer unguarded.
        qCWarning(lcShell, "cannot create %s; running without the single-instance guard",
                  qPrintable(QDir::toNativeSeparators(m_socketPath)));
        return Claim::Primary;
    }
    // Holding the lock, any socket file left here belongs to a process that is gone. A socket
    // that cannot be opened now is retried by the server on its own.
    m_server = new RequestServer(m_socketPath, this);
    m_server->setHandler([this](const QByteArray &request) {
        return m_handler ? m_handler(request) : QByteArrayLiteral("error");
    });
    m_server->listen();
    return Claim::Primary;
}

void SingleInstance::release()
{
    // Answers are written while a request is handled, so none is under way here.
    delete m_server; // removes the socket file, while it is still ours
    m_server = nullptr;
    m_lock->unlock();
}

void SingleInstance::setHandler(Handler handler)
{
    m_handler = std::move(handler);
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
    return socket.readLine(RequestLine::maxLength + 1).trimmed();
}
