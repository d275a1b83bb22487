#include "singleinstance.h"

#include "requestline.h"
#include "requestserver.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QLoggingCategory>
#include <QStandardPaths>
#include <QThread>

#include <cerrno>
#include <csignal>

namespace {

// The program a process runs, by file name; empty when it cannot be told.
QString programOf(const QString &pid)
{
    QString target = QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid));
    target.remove(QStringLiteral(" (deleted)"));
    return QFileInfo(target).fileName();
}

} // namespace

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

bool SingleInstance::ownerIsGone() const
{
    qint64 pid = 0;
    QString host;
    QString application;
    if (!m_lock->getLockInfo(&pid, &host, &application))
        return true;
    if (::kill(pid_t(pid), 0) != 0 && errno == ESRCH)
        return true;
    // A live process with the owner's number: still Vorn only if it runs the same program.
    const QString owner = programOf(QString::number(pid));
    const QString self = programOf(QStringLiteral("self"));
    return !owner.isEmpty() && !self.isEmpty() && owner != self;
}

SingleInstance::Claim SingleInstance::claim()
{
    bool locked = m_lock->tryLock(0);
    if (!locked && m_lock->error() == QLockFile::LockFailedError && ownerIsGone()
        && m_lock->removeStaleLockFile())
        locked = m_lock->tryLock(0);
    if (!locked) {
        if (m_lock->error() == QLockFile::LockFailedError)
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
