#pragma once

#include "brokeraddress.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <memory>
#include <optional>

// One MQTT 5 client session over mqtt://, mqtts://, ws:// or wss://, with its signals emitted on
// the thread the object lives on.
//
// Implementation notes: the client is Eclipse Paho's asynchronous C library, which does its
// network work (name look-up, connecting, TLS, WebSockets) on threads of its own, so nothing here
// blocks the event loop. Each of its callbacks is posted to this object's thread and handled
// there. Every connection attempt has a Paho client of its own, registered under a number that is
// never reused; a callback finds its connection through that number, so one that comes for a
// client already dropped (or for a connection being destroyed) is ignored. Reconnecting, with its
// back-off, is driven from here rather than by Paho, so that every failure is reported. Paho says
// "TCP/TLS connect failure" both for a broker it cannot reach and for a certificate that is not for
// the host name (OpenSSL reports the other certificate failures); a plain TCP connection tells them
// apart. Paho acknowledges a QoS 1 message as it reads it, before its callback, so the memory
// bound comes from holding that callback (see maxUnhandledMessages), not from late PUBACKs.
// Paho's network thread serves every client of a process and notices a new connection only when
// its wait on the other clients' sockets ends (up to a second): a process with one client, as
// vorn-sync is, reconnects at once; one with several may take a second or two longer.
class QTcpSocket;

class MqttConnection : public QObject
{
    Q_OBJECT

public:
    struct Settings
    {
        BrokerAddress broker;
        QString user;
        std::optional<QByteArray> password;
        QString caFile; // empty: the system's CA store
        QString clientId;
        quint32 sessionExpirySeconds = 7 * 24 * 3600; // 0: the session ends with the connection
    };

    enum class Failure {
        NotAuthorised, // the broker refused the user name or password
        Unreachable, // no usable connection (refused, no route, timed out, unknown host, garbled)
        Certificate, // TLS failed: the server's certificate does not verify, or no TLS there
        Refused, // the broker refused the session for another reason
    };
    Q_ENUM(Failure)

    enum class State { Offline, Connecting, Connected };

    static constexpr int firstRetryMs = 250;
    static constexpr int maxRetryMs = 30000;
    static constexpr int connectTimeoutMs = 10000;
    // Flow control of what the broker sends: at most this many of its QoS 1 messages unacknowledged
    // (the Receive Maximum of CONNECT), and at most maxUnhandledMessages received and not yet
    // handled by the receiver of messageReceived; Paho reads nothing more until one is.
    static constexpr quint16 receiveMaximumMessages = 8;
    static constexpr int maxUnhandledMessages = 2;

    explicit MqttConnection(Settings settings, QObject *parent = nullptr);
    ~MqttConnection() override;

    // Connects; with retry, keeps reconnecting after a failure or a lost connection with a
    // back-off from firstRetryMs doubling to maxRetryMs, until stop().
    void start(bool retry = true);
    // Says goodbye to the broker (DISCONNECT; the session stays for its expiry) and goes offline.
    void stop();
    State state() const { return m_state; }
    const Settings &settings() const { return m_settings; }

    // QoS 1. The message id, or -1 when it could not be queued (not connected, too large).
    int publish(const QByteArray &topic, const QByteArray &payload, bool retain);
    // QoS 1 for every filter, in one SUBSCRIBE. The message id, or -1.
    int subscribe(const QList<QByteArray> &filters);

Q_SIGNALS:
    void connected(bool sessionPresent);
    void connectFailed(MqttConnection::Failure failure, const QString &message);
    void connectionLost(const QString &reason);
    // Handled when the slots connected directly have returned.
    void messageReceived(const QByteArray &topic, const QByteArray &payload);
    // reasonCode 0 (or 16, no subscribers) means the broker took the message.
    void publishAcknowledged(int mid, int reasonCode);
    void subscribeAcknowledged(int mid, const QList<int> &grantedQos);

private:
    void attempt();
    void handleConnected(bool sessionPresent);
    void handleConnectFailure(int code, int reasonCode, const QString &message);
    void reportTlsFailure();
    void fail(Failure failure, const QString &message);
    void handleConnectionLost(const QString &reason);
    void dropClient(bool sayGoodbye);
    void scheduleRetry();
    QString uri() const;

    friend struct PahoCallbacks;
    struct Inbox;

    Settings m_settings;
    void *m_client = nullptr; // MQTTAsync
    quintptr m_key = 0; // the registered number of m_client; 0 without one
    std::shared_ptr<Inbox> m_inbox; // m_client's messages not yet handled
    State m_state = State::Offline;
    bool m_retry = false;
    bool m_running = false;
    bool m_hadSession = false;
    int m_retryDelayMs = firstRetryMs;
    QString m_tlsError; // what OpenSSL said during this attempt
    QPointer<QTcpSocket> m_reachable; // tells a TLS failure from an unreachable broker
    QTimer m_retryTimer;
};
