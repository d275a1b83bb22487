#pragma once

#include "brokeraddress.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

class QSocketNotifier;
class QTcpSocket;
class WebSocketTunnel;
struct mosquitto;

// One MQTT 5 client session (libmosquitto) driven from the Qt event loop of the thread it lives on:
// socket notifiers for reading and writing and a one-second timer for keep-alive housekeeping. No
// thread of its own.
//
// Implementation notes: libmosquitto 2.0 sends the CONNECT properties (the session expiry) only
// from its blocking connect call. So an attempt first opens a plain TCP connection with Qt, which
// never blocks the loop; only once the broker is known to answer is the blocking connect made,
// and it returns at once. Over ws:// and wss:// the probe is the WebSocket itself, and
// libmosquitto connects through a WebSocketTunnel on loopback. Callbacks from libmosquitto only
// queue events; the events are emitted after the library call returns, so slots may call back into
// this object freely.
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
        quint32 sessionExpirySeconds = 7 * 24 * 3600;
    };

    enum class Failure {
        NotAuthorised, // the broker refused the user name or password
        Unreachable, // no TCP connection (refused, no route, timed out, unknown host)
        Certificate, // TLS failed: the server's certificate does not verify, or no TLS there
        Refused, // the broker refused the session for another reason
    };
    Q_ENUM(Failure)

    enum class State { Offline, Connecting, Connected };

    static constexpr int firstRetryMs = 250;
    static constexpr int maxRetryMs = 30000;
    static constexpr int probeTimeoutMs = 10000;

    explicit MqttConnection(Settings settings, QObject *parent = nullptr);
    ~MqttConnection() override;

    // Connects; with retry, keeps reconnecting after a failure or a lost connection with a
    // back-off from firstRetryMs doubling to maxRetryMs, until stop().
    void start(bool retry = true);
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
    void messageReceived(const QByteArray &topic, const QByteArray &payload);
    // reasonCode 0 (or 16, no subscribers) means the broker took the message.
    void publishAcknowledged(int mid, int reasonCode);
    void subscribeAcknowledged(int mid, const QList<int> &grantedQos);

private:
    void attempt();
    void probeSucceeded();
    void probeFailed(const QString &reason);
    // Ends an attempt that never reached the broker: reported, then retried.
    void attemptFailed(Failure failure, const QString &message);
    void openSession();
    void configure(bool cleanStart);
    void afterLibraryCall(int rc);
    void updateNotifiers();
    void dropNotifiers();
    void dropTunnel();
    void tearDown(const QString &reason, std::optional<Failure> failure);
    void scheduleRetry();
    void flushEvents();
    QString describe(int rc) const;

    friend struct MqttCallbacks;

    Settings m_settings;
    mosquitto *m_mosq = nullptr;
    State m_state = State::Offline;
    bool m_retry = false;
    bool m_running = false;
    bool m_failureReported = false;
    bool m_hadSession = false;
    int m_retryDelayMs = firstRetryMs;
    QString m_lastLibraryError;
    QTcpSocket *m_probe = nullptr;
    WebSocketTunnel *m_tunnel = nullptr;
    QTimer m_probeTimeout;
    QTimer m_connackTimeout;
    QTimer m_retryTimer;
    QTimer m_housekeeping;
    std::unique_ptr<QSocketNotifier> m_readNotifier;
    std::unique_ptr<QSocketNotifier> m_writeNotifier;
    QList<std::function<void()>> m_events;
};
