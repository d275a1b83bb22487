#include "mqttconnection.h"

#include "synclog.h"
#include "websockettunnel.h"

#include <QFile>
#include <QPointer>
#include <QSocketNotifier>
#include <QTcpSocket>

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <openssl/ssl.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <mutex>

struct MqttCallbacks
{
    static MqttConnection *self(void *data) { return static_cast<MqttConnection *>(data); }

    static void onConnect(mosquitto *, void *data, int rc, int flags, const mosquitto_property *)
    {
        MqttConnection *c = self(data);
        if (rc == 0) {
            c->m_state = MqttConnection::State::Connected;
            c->m_connackTimeout.stop();
            c->m_hadSession = true;
            c->m_retryDelayMs = MqttConnection::firstRetryMs;
            const bool sessionPresent = flags & 1;
            c->m_events.append([c, sessionPresent] { Q_EMIT c->connected(sessionPresent); });
            return;
        }
        // MQTT 5 reason codes, and the MQTT 3 return codes a broker may still send.
        const bool credentials = rc == MQTT_RC_NOT_AUTHORIZED
                || rc == MQTT_RC_BAD_USERNAME_OR_PASSWORD || rc == CONNACK_REFUSED_NOT_AUTHORIZED
                || rc == CONNACK_REFUSED_BAD_USERNAME_PASSWORD;
        c->m_connackTimeout.stop();
        const QString text = credentials ? QStringLiteral("not authorised")
                                         : QString::fromUtf8(mosquitto_reason_string(rc));
        c->m_failureReported = true;
        const auto failure = credentials ? MqttConnection::Failure::NotAuthorised
                                         : MqttConnection::Failure::Refused;
        c->m_events.append([c, failure, text] { Q_EMIT c->connectFailed(failure, text); });
    }

    static void onPublish(mosquitto *, void *data, int mid, int rc, const mosquitto_property *)
    {
        MqttConnection *c = self(data);
        c->m_events.append([c, mid, rc] { Q_EMIT c->publishAcknowledged(mid, rc); });
    }

    static void onMessage(mosquitto *, void *data, const mosquitto_message *message,
                          const mosquitto_property *)
    {
        MqttConnection *c = self(data);
        QByteArray topic(message->topic);
        QByteArray payload(static_cast<const char *>(message->payload),
                           message->payload ? message->payloadlen : 0);
        c->m_events.append([c, topic, payload] { Q_EMIT c->messageReceived(topic, payload); });
    }

    static void onSubscribe(mosquitto *, void *data, int mid, int count, const int *granted,
                            const mosquitto_property *)
    {
        MqttConnection *c = self(data);
        QList<int> qos(granted, granted + count);
        c->m_events.append([c, mid, qos] { Q_EMIT c->subscribeAcknowledged(mid, qos); });
    }

    static void onLog(mosquitto *, void *data, int level, const char *text)
    {
        if (level & MOSQ_LOG_ERR)
            self(data)->m_lastLibraryError = QString::fromUtf8(text);
    }
};

MqttConnection::MqttConnection(Settings settings, QObject *parent)
    : QObject(parent)
    , m_settings(std::move(settings))
{
    static std::once_flag initialised;
    std::call_once(initialised, [] { mosquitto_lib_init(); });

    m_probeTimeout.setSingleShot(true);
    m_probeTimeout.setInterval(probeTimeoutMs);
    connect(&m_probeTimeout, &QTimer::timeout, this, [this] {
        probeFailed(QStringLiteral("no answer within %1 s").arg(probeTimeoutMs / 1000));
    });
    m_connackTimeout.setSingleShot(true);
    m_connackTimeout.setInterval(probeTimeoutMs);
    connect(&m_connackTimeout, &QTimer::timeout, this, [this] {
        if (m_mosq)
            mosquitto_disconnect(m_mosq);
        tearDown(QStringLiteral("no answer to CONNECT within %1 s").arg(probeTimeoutMs / 1000),
                 Failure::Unreachable);
    });
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, &QTimer::timeout, this, &MqttConnection::attempt);
    m_housekeeping.setInterval(1000);
    connect(&m_housekeeping, &QTimer::timeout, this, [this] {
        if (m_mosq)
            afterLibraryCall(mosquitto_loop_misc(m_mosq));
    });
}

MqttConnection::~MqttConnection()
{
    m_running = false;
    dropNotifiers();
    if (m_mosq) {
        mosquitto_disconnect(m_mosq);
        mosquitto_destroy(m_mosq);
    }
}

void MqttConnection::start(bool retry)
{
    m_retry = retry;
    m_running = true;
    m_retryDelayMs = firstRetryMs;
    attempt();
}

void MqttConnection::stop()
{
    m_running = false;
    m_retryTimer.stop();
    m_probeTimeout.stop();
    if (m_probe) {
        m_probe->abort();
        m_probe->deleteLater();
        m_probe = nullptr;
    }
    if (m_mosq && m_state != State::Offline) {
        // Sends DISCONNECT while the socket is still writable; the session stays on the broker.
        mosquitto_disconnect(m_mosq);
        mosquitto_loop_write(m_mosq, 1);
    }
    dropNotifiers();
    dropTunnel();
    m_housekeeping.stop();
    m_connackTimeout.stop();
    m_state = State::Offline;
    m_events.clear();
}

void MqttConnection::attempt()
{
    if (!m_running)
        return;
    m_state = State::Connecting;
    m_failureReported = false;
    m_lastLibraryError.clear();
    dropTunnel();
    qCDebug(lcSync) << "connecting to" << m_settings.broker.url();
    if (m_settings.broker.transport == BrokerAddress::Transport::WebSocket) {
        m_tunnel = new WebSocketTunnel(m_settings.broker, m_settings.caFile, this);
        connect(m_tunnel, &WebSocketTunnel::ready, this, [this] {
            m_probeTimeout.stop();
            openSession();
        });
        connect(m_tunnel, &WebSocketTunnel::failed, this,
                [this](bool certificate, const QString &message) {
                    attemptFailed(certificate ? Failure::Certificate : Failure::Unreachable,
                                  message);
                });
        m_probeTimeout.start();
        m_tunnel->open();
        return;
    }
    m_probe = new QTcpSocket(this);
    connect(m_probe, &QTcpSocket::connected, this, &MqttConnection::probeSucceeded);
    connect(m_probe, &QTcpSocket::errorOccurred, this,
            [this] { probeFailed(m_probe ? m_probe->errorString() : QString()); });
    m_probeTimeout.start();
    m_probe->connectToHost(m_settings.broker.host, quint16(m_settings.broker.port));
}

void MqttConnection::probeSucceeded()
{
    qCDebug(lcSync) << "the broker answers; opening the session";
    m_probeTimeout.stop();
    m_probe->abort();
    m_probe->deleteLater();
    m_probe = nullptr;
    openSession();
}

void MqttConnection::probeFailed(const QString &reason)
{
    attemptFailed(Failure::Unreachable,
                  QStringLiteral("cannot reach %1:%2: %3")
                          .arg(m_settings.broker.host)
                          .arg(m_settings.broker.port)
                          .arg(reason));
}

void MqttConnection::attemptFailed(Failure failure, const QString &message)
{
    m_probeTimeout.stop();
    dropTunnel();
    if (m_probe) {
        m_probe->disconnect(this);
        m_probe->abort();
        m_probe->deleteLater();
        m_probe = nullptr;
    }
    m_state = State::Offline;
    Q_EMIT connectFailed(failure, message);
    scheduleRetry();
}

void MqttConnection::configure(bool cleanStart)
{
    dropNotifiers();
    if (m_mosq)
        mosquitto_destroy(m_mosq);
    const QByteArray id = m_settings.clientId.toUtf8();
    m_mosq = mosquitto_new(id.isEmpty() ? nullptr : id.constData(), cleanStart || id.isEmpty(),
                           this);
    mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_int_option(m_mosq, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_v5_callback_set(m_mosq, MqttCallbacks::onConnect);
    mosquitto_publish_v5_callback_set(m_mosq, MqttCallbacks::onPublish);
    mosquitto_message_v5_callback_set(m_mosq, MqttCallbacks::onMessage);
    mosquitto_subscribe_v5_callback_set(m_mosq, MqttCallbacks::onSubscribe);
    mosquitto_log_callback_set(m_mosq, MqttCallbacks::onLog);
    const QByteArray user = m_settings.user.toUtf8();
    const QByteArray password = m_settings.password.value_or(QByteArray());
    mosquitto_username_pw_set(m_mosq, user.isEmpty() ? nullptr : user.constData(),
                              m_settings.password ? password.constData() : nullptr);
    if (m_settings.broker.tls && !m_tunnel) {
        if (!m_settings.caFile.isEmpty()) {
            mosquitto_tls_set(m_mosq, QFile::encodeName(m_settings.caFile).constData(), nullptr,
                              nullptr, nullptr, nullptr);
        } else {
            mosquitto_int_option(m_mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        }
        // Peer verification and the host name check stay on: there is no insecure mode.
        mosquitto_tls_opts_set(m_mosq, SSL_VERIFY_PEER, nullptr, nullptr);
    }
}

void MqttConnection::openSession()
{
    // A new session at the first connection of the run; later ones resume it, so QoS 1 messages
    // the broker kept for this client while it was away still arrive.
    configure(!m_hadSession);
    mosquitto_property *properties = nullptr;
    mosquitto_property_add_int32(&properties, MQTT_PROP_SESSION_EXPIRY_INTERVAL,
                                 m_settings.sessionExpirySeconds);
    const QByteArray host = m_tunnel ? QByteArray("127.0.0.1") : m_settings.broker.host.toUtf8();
    const int port = m_tunnel ? m_tunnel->listenPort() : m_settings.broker.port;
    const int rc
            = mosquitto_connect_bind_v5(m_mosq, host.constData(), port, 30, nullptr, properties);
    mosquitto_property_free_all(&properties);
    if (rc != MOSQ_ERR_SUCCESS) {
        const Failure failure = rc == MOSQ_ERR_TLS ? Failure::Certificate : Failure::Unreachable;
        tearDown(describe(rc), failure);
        return;
    }
    if (m_tunnel) {
        // The tunnel takes only the connection that libmosquitto has just opened.
        sockaddr_in local{};
        socklen_t length = sizeof local;
        if (getsockname(mosquitto_socket(m_mosq), reinterpret_cast<sockaddr *>(&local), &length)
            == 0)
            m_tunnel->acceptPeer(ntohs(local.sin_port));
    }
    m_housekeeping.start();
    m_connackTimeout.start();
    afterLibraryCall(MOSQ_ERR_SUCCESS);
}

void MqttConnection::afterLibraryCall(int rc)
{
    if (!m_mosq)
        return;
    if (rc == MOSQ_ERR_SUCCESS && m_settings.broker.tls) {
        // OpenSSL may hold decrypted bytes that the socket notifier will never announce.
        auto *ssl = static_cast<SSL *>(mosquitto_ssl_get(m_mosq));
        for (int round = 0; rc == MOSQ_ERR_SUCCESS && ssl && SSL_pending(ssl) > 0 && round < 64;
             ++round)
            rc = mosquitto_loop_read(m_mosq, 1);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        std::optional<Failure> failure;
        if (rc == MOSQ_ERR_TLS)
            failure = Failure::Certificate;
        tearDown(describe(rc), failure);
        return;
    }
    updateNotifiers();
    flushEvents();
}

void MqttConnection::updateNotifiers()
{
    const int fd = mosquitto_socket(m_mosq);
    if (fd < 0) {
        dropNotifiers();
        return;
    }
    if (m_readNotifier && m_readNotifier->socket() != fd)
        dropNotifiers();
    if (!m_readNotifier) {
        m_readNotifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        connect(m_readNotifier.get(), &QSocketNotifier::activated, this,
                [this] { afterLibraryCall(mosquitto_loop_read(m_mosq, 1)); });
        m_writeNotifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
        connect(m_writeNotifier.get(), &QSocketNotifier::activated, this,
                [this] { afterLibraryCall(mosquitto_loop_write(m_mosq, 1)); });
    }
    m_writeNotifier->setEnabled(mosquitto_want_write(m_mosq));
}

void MqttConnection::dropNotifiers()
{
    m_readNotifier.reset();
    m_writeNotifier.reset();
}

void MqttConnection::dropTunnel()
{
    if (m_tunnel) {
        m_tunnel->disconnect(this);
        m_tunnel->deleteLater();
        m_tunnel = nullptr;
    }
}

void MqttConnection::tearDown(const QString &reason, std::optional<Failure> failure)
{
    const State was = m_state;
    dropNotifiers();
    dropTunnel();
    m_housekeeping.stop();
    m_connackTimeout.stop();
    m_state = State::Offline;
    // Events queued before the failure (a refusing CONNACK) are still told, first.
    flushEvents();
    if (was == State::Connected) {
        Q_EMIT connectionLost(reason);
    } else if (!m_failureReported) {
        m_failureReported = true;
        Q_EMIT connectFailed(failure.value_or(Failure::Unreachable), reason);
    }
    scheduleRetry();
}

void MqttConnection::scheduleRetry()
{
    if (!m_running)
        return;
    if (!m_retry) {
        m_running = false;
        return;
    }
    qCDebug(lcSync) << "next attempt in" << m_retryDelayMs << "ms";
    m_retryTimer.start(m_retryDelayMs);
    m_retryDelayMs = std::min(m_retryDelayMs * 2, maxRetryMs);
}

void MqttConnection::flushEvents()
{
    QPointer<MqttConnection> alive(this);
    while (alive && !m_events.isEmpty()) {
        const std::function<void()> event = m_events.takeFirst();
        event();
    }
}

QString MqttConnection::describe(int rc) const
{
    if (rc == MOSQ_ERR_TLS) {
        const QString detail = m_lastLibraryError.isEmpty() ? QStringLiteral("TLS handshake failed")
                                                            : m_lastLibraryError;
        return QStringLiteral("the broker's certificate does not verify (%1)").arg(detail);
    }
    if (rc == MOSQ_ERR_ERRNO)
        return QString::fromLocal8Bit(std::strerror(errno));
    if (rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_NO_CONN)
        return QStringLiteral("connection lost");
    return QString::fromUtf8(mosquitto_strerror(rc));
}

int MqttConnection::publish(const QByteArray &topic, const QByteArray &payload, bool retain)
{
    if (m_state != State::Connected || !m_mosq)
        return -1;
    int mid = -1;
    const int rc = mosquitto_publish_v5(m_mosq, &mid, topic.constData(), int(payload.size()),
                                        payload.constData(), 1, retain, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
        qCDebug(lcSync) << "publish failed:" << mosquitto_strerror(rc);
        if (rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_ERRNO)
            afterLibraryCall(rc);
        return -1;
    }
    afterLibraryCall(MOSQ_ERR_SUCCESS);
    return mid;
}

int MqttConnection::subscribe(const QList<QByteArray> &filters)
{
    if (m_state != State::Connected || !m_mosq || filters.isEmpty())
        return -1;
    QList<QByteArray> kept = filters;
    std::vector<char *> pointers;
    for (QByteArray &filter : kept)
        pointers.push_back(filter.data());
    int mid = -1;
    const int rc = mosquitto_subscribe_multiple(m_mosq, &mid, int(pointers.size()), pointers.data(),
                                                1, 0, nullptr);
    afterLibraryCall(rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST ? rc : MOSQ_ERR_SUCCESS);
    return rc == MOSQ_ERR_SUCCESS ? mid : -1;
}
