#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <list>
#include <memory>

class QSocketNotifier;
class QTimer;

// The listening end of the single-instance channel: a Unix socket for this user only, one request
// line in and one answer line out per connection.
//
// It is built to stay reachable whatever clients do. A failed accept (out of descriptors, a
// client gone before it was taken) never closes the server: it retries, first by dropping the
// oldest connection it holds, else after a short pause. At most maxConnections connections are
// held at once, each for at most idleLimitMs; a newer one pushes out the oldest, so idle clients
// cannot starve the rest of the process of descriptors. The socket file is checked every few
// seconds and bound again when it was removed or replaced, or when listening failed before.
class RequestServer : public QObject
{
    Q_OBJECT

public:
    using Handler = std::function<QByteArray(const QByteArray &request)>;

    static constexpr int maxConnections = 16;
    static constexpr int idleLimitMs = 5000;
    static constexpr int checkIntervalMs = 2000;

    explicit RequestServer(const QString &socketPath, QObject *parent = nullptr);
    ~RequestServer() override;

    // Replaces any file at the path (the caller holds the lock that makes it ours) and listens.
    // False when that failed for now; the server keeps trying on its own.
    bool listen();
    void setHandler(Handler handler) { m_handler = std::move(handler); }

private:
    struct Connection;

    void acceptPending();
    void readFrom(Connection *connection);
    void drop(Connection *connection);
    void dropOldest();
    void checkSocketFile();
    void closeListener();

    const QString m_socketPath;
    Handler m_handler;
    int m_listenFd = -1;
    quint64 m_socketInode = 0;
    std::unique_ptr<QSocketNotifier> m_acceptNotifier;
    std::list<std::unique_ptr<Connection>> m_connections; // oldest first
    QTimer *m_retryTimer = nullptr;
    QTimer *m_checkTimer = nullptr;
};
