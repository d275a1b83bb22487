#pragma once

#include <QByteArray>
#include <QLockFile>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class RequestServer;

// One Vorn per user session. The first process takes a lock file and listens on a local socket,
// both in the user's runtime folder; a later process finds the lock taken, hands a request to the
// running one over the socket and ends. A lock whose owner cannot be read (an empty or garbled
// file, as a start killed while writing it leaves), is no longer alive, or is another program
// that got its process number, is taken over, and so is its socket file. A live holder keeps a
// native lock on the file, so a takeover can never remove the lock of a Vorn that runs.
//
// The channel carries one request line and one answer line per connection; requests longer than
// a line limit are dropped. The socket is private to the user (the runtime folder is, and the
// socket is created for the user only).
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    using Handler = std::function<QByteArray(const QByteArray &request)>;
    enum class Claim { Primary, Secondary };

    // `directory` holds vorn.lock and vorn.socket; it is created when missing.
    explicit SingleInstance(const QString &directory, QObject *parent = nullptr);
    ~SingleInstance() override;

    // $XDG_RUNTIME_DIR, or Qt's per-user runtime folder when it is not set.
    static QString defaultDirectory();

    // Primary: this process holds the lock and answers requests from now on (a socket that cannot
    // be opened leaves it running, unreachable). Secondary: another live process holds it.
    Claim claim();
    // Stops answering and lets go of the lock, so that another process can claim it. claim() may
    // take it again later.
    void release();
    void setHandler(Handler handler);
    QString socketPath() const { return m_socketPath; }

    // Sends one request to the running instance and waits for its answer, retrying the connection
    // while that instance is still starting. Nothing when no answer came within timeoutMs.
    static std::optional<QByteArray> send(const QString &socketPath, const QByteArray &request,
                                          int timeoutMs);

private:
    QString m_socketPath;
    std::unique_ptr<QLockFile> m_lock;
    RequestServer *m_server = nullptr;
    Handler m_handler;
};
