#include "mqttconnection.h"

#include "synclog.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QHash>
#include <QMutex>
#include <QTcpSocket>
#include <QThread>

#include <MQTTAsync.h>

#include <condition_variable>
#include <mutex>
#include <utility>

namespace {

// Paho's clients by their registered number. Paho is handed the number, never a pointer, so a
// callback that comes after its client was dropped finds nothing here.
struct Registry
{
    QMutex mutex;
    QHash<quintptr, MqttConnection *> connections;
    quintptr lastKey = 0;
};

Registry &registry()
{
    static Registry instance;
    return instance;
}

// Holds Paho's network thread in the message callback while the connection's thread has
// maxUnhandledMessages of this client's messages still to handle: Paho reads no further from the
// socket meanwhile, so what the broker sends waits on the broker, not in this process.
//
// Paho calls that callback with its own lock held, which every Paho function takes. So a thread
// about to call Paho first says so (PahoCall), and no callback waits while one does: the thread
// that handles the messages never waits for a callback that waits for it.
struct Gate
{
    std::mutex mutex;
    std::condition_variable changed;
    int callers = 0; // threads in or about to enter a Paho call
};

Gate &gate()
{
    static Gate instance;
    return instance;
}

class PahoCall
{
public:
    PahoCall()
    {
        const std::lock_guard lock(gate().mutex);
        ++gate().callers;
        gate().changed.notify_all();
    }
    ~PahoCall()
    {
        const std::lock_guard lock(gate().mutex);
        --gate().callers;
    }
    PahoCall(const PahoCall &) = delete;
    PahoCall &operator=(const PahoCall &) = delete;
};

quintptr keyOf(void *context)
{
    return reinterpret_cast<quintptr>(context);
}

// MQTT 5 reason codes, and the MQTT 3 return codes a broker may still send.
bool isCredentialsRefusal(int reasonCode)
{
    return reasonCode == MQTTREASONCODE_BAD_USER_NAME_OR_PASSWORD
            || reasonCode == MQTTREASONCODE_NOT_AUTHORIZED || reasonCode == 4 || reasonCode == 5;
}

// OpenSSL 3 writes "thread:error:code:library:function:reason:file:line:"; the reason is enough.
QString opensslReason(const QString &line)
{
    const QStringList fields = line.split(QLatin1Char(':'));
    return fields.size() > 6 && fields[1] == QLatin1String("error") ? fields[5] : line;
}

} // namespace

// One Paho client's messages posted to the connection's thread and not yet handled there.
struct MqttConnection::Inbox
{
    int unhandled = 0; // guarded by gate().mutex
    bool closed = false; // the client was dropped: nothing waits for room any more
};

// Paho's callbacks, on Paho's threads: each copies what it was given and posts the handling to
// the connection's thread.
struct PahoCallbacks
{
    template<typename Handler> static void post(void *context, Handler handler)
    {
        const quintptr key = keyOf(context);
        Registry &r = registry();
        QMutexLocker lock(&r.mutex);
        MqttConnection *connection = r.connections.value(key);
        if (!connection)
            return;
        QMetaObject::invokeMethod(
                connection,
                [connection, key, handler = std::move(handler)] {
                    if (connection->m_key == key)
                        handler(connection);
                },
                Qt::QueuedConnection);
    }

    static void onConnected(void *context, MQTTAsync_successData5 *data)
    {
        const bool sessionPresent = data && data->alt.connect.sessionPresent;
        post(context, [sessionPresent](MqttConnection *c) { c->handleConnected(sessionPresent); });
    }

    static void onConnectFailed(void *context, MQTTAsync_failureData5 *data)
    {
        const int code = data ? data->code : MQTTASYNC_FAILURE;
        const int reasonCode = data ? int(data->reasonCode) : 0;
        const QString message
                = data && data->message ? QString::fromUtf8(data->message) : QString();
        post(context, [code, reasonCode, message](MqttConnection *c) {
            c->handleConnectFailure(code, reasonCode, message);
        });
    }

    static void onConnectionLost(void *context, char *cause)
    {
        const QString reason = cause ? QString::fromUtf8(cause) : QStringLiteral("connection lost");
        MQTTAsync_free(cause);
        post(context, [reason](MqttConnection *c) { c->handleConnectionLost(reason); });
    }

    static int onMessage(void *context, char *topicName, int topicLength,
                         MQTTAsync_message *message)
    {
        const QByteArray topic
                = topicLength > 0 ? QByteArray(topicName, topicLength) : QByteArray(topicName);
        const QByteArray payload(static_cast<const char *>(message->payload),
                                 message->payload ? message->payloadlen : 0);
        MQTTAsync_freeMessage(&message);
        MQTTAsync_free(topicName);
        std::shared_ptr<MqttConnection::Inbox> inbox;
        {
            Registry &r = registry();
            QMutexLocker lock(&r.mutex);
            if (MqttConnection *connection = r.connections.value(keyOf(context)))
                inbox = connection->m_inbox;
        }
        if (!inbox)
            return 1;
        {
            std::unique_lock lock(gate().mutex);
            gate().changed.wait(lock, [&] {
                return inbox->closed || inbox->unhandled < MqttConnection::maxUnhandledMessages
                        || gate().callers > 0;
            });
            if (inbox->closed)
                return 1;
            ++inbox->unhandled;
        }
        post(context, [topic, payload, inbox](MqttConnection *c) {
            Q_EMIT c->messageReceived(topic, payload);
            const std::lock_guard lock(gate().mutex);
            --inbox->unhandled;
            gate().changed.notify_all();
        });
        return 1;
    }

    static void onPublished(void *context, MQTTAsync_successData5 *data)
    {
        const int mid = data->token;
        const int reasonCode = int(data->reasonCode);
        post(context, [mid, reasonCode](MqttConnection *c) {
            Q_EMIT c->publishAcknowledged(mid, reasonCode);
        });
    }

    static void onPublishFailed(void *context, MQTTAsync_failureData5 *data)
    {
        // Only the broker's refusal is an answer; a message lost with its connection is not.
        if (!data || data->reasonCode < MQTTREASONCODE_UNSPECIFIED_ERROR)
            return;
        const int mid = data->token;
        const int reasonCode = int(data->reasonCode);
        post(context, [mid, reasonCode](MqttConnection *c) {
            Q_EMIT c->publishAcknowledged(mid, reasonCode);
        });
    }

    static void onSubscribed(void *context, MQTTAsync_successData5 *data)
    {
        const int mid = data->token;
        QList<int> granted;
        if (data->alt.sub.reasonCodeCount > 1) {
            for (int i = 0; i < data->alt.sub.reasonCodeCount; ++i)
                granted.append(int(data->alt.sub.reasonCodes[i]));
        } else {
            granted.append(int(data->reasonCode));
        }
        post(context,
             [mid, granted](MqttConnection *c) { Q_EMIT c->subscribeAcknowledged(mid, granted); });
    }

    static void onSubscribeFailed(void *context, MQTTAsync_failureData5 *data)
    {
        if (!data || data->reasonCode < MQTTREASONCODE_UNSPECIFIED_ERROR)
            return;
        const int mid = data->token;
        const QList<int> granted{int(data->reasonCode)};
        post(context,
             [mid, granted](MqttConnection *c) { Q_EMIT c->subscribeAcknowledged(mid, granted); });
    }

    static int onTlsError(const char *text, size_t length, void *context)
    {
        const QString line = QString::fromUtf8(text, qsizetype(length)).trimmed();
        post(context, [line](MqttConnection *c) {
            if (c->m_tlsError.isEmpty())
                c->m_tlsError = opensslReason(line);
        });
        return 0;
    }
};

MqttConnection::MqttConnection(Settings settings, QObject *parent)
    : QObject(parent)
    , m_settings(std::move(settings))
{
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, &QTimer::timeout, this, &MqttConnection::attempt);
}

MqttConnection::~MqttConnection()
{
    m_running = false;
    dropClient(true);
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
    delete m_reachable;
    dropClient(true);
    m_state = State::Offline;
}

QString MqttConnection::uri() const
{
    const BrokerAddress &b = m_settings.broker;
    const QString scheme = b.transport == BrokerAddress::Transport::Tcp
            ? (b.tls ? QStringLiteral("ssl") : QStringLiteral("tcp"))
            : (b.tls ? QStringLiteral("wss") : QStringLiteral("ws"));
    const QString host = b.host.contains(QLatin1Char(':'))
            ? QLatin1Char('[') + b.host + QLatin1Char(']')
            : b.host;
    QString text = QStringLiteral("%1://%2:%3").arg(scheme, host).arg(b.port);
    if (b.transport == BrokerAddress::Transport::WebSocket)
        text += b.path;
    return text;
}

void MqttConnection::attempt()
{
    if (!m_running)
        return;
    dropClient(false);
    delete m_reachable;
    m_state = State::Connecting;
    m_tlsError.clear();
    qCDebug(lcSync) << "connecting to" << m_settings.broker.url();

    const PahoCall call;
    const QByteArray address = uri().toUtf8();
    const QByteArray id = m_settings.clientId.toUtf8();
    MQTTAsync_createOptions createOptions = MQTTAsync_createOptions_initializer5;
    MQTTAsync client = nullptr;
    int rc = MQTTAsync_createWithOptions(&client, address.constData(), id.constData(),
                                         MQTTCLIENT_PERSISTENCE_NONE, nullptr, &createOptions);
    if (rc != MQTTASYNC_SUCCESS) {
        handleConnectFailure(rc, 0, QString());
        return;
    }
    m_client = client;
    {
        Registry &r = registry();
        QMutexLocker lock(&r.mutex);
        m_key = ++r.lastKey;
        m_inbox = std::make_shared<Inbox>();
        r.connections.insert(m_key, this);
    }
    void *context = reinterpret_cast<void *>(m_key);
    MQTTAsync_setCallbacks(client, context, &PahoCallbacks::onConnectionLost,
                           &PahoCallbacks::onMessage, nullptr);

    MQTTAsync_connectOptions options = MQTTAsync_connectOptions_initializer5;
    options.keepAliveInterval = 30;
    options.connectTimeout = connectTimeoutMs / 1000;
    // A new session at the first connection of the run; later ones resume it, so QoS 1 messages
    // the broker kept for this client while it was away still arrive.
    options.cleanstart = m_hadSession ? 0 : 1;
    options.onSuccess5 = &PahoCallbacks::onConnected;
    options.onFailure5 = &PahoCallbacks::onConnectFailed;
    options.context = context;
    const QByteArray user = m_settings.user.toUtf8();
    if (!user.isEmpty())
        options.username = user.constData();
    const QByteArray password = m_settings.password.value_or(QByteArray());
    if (m_settings.password) {
        options.binarypwd.data = password.constData();
        options.binarypwd.len = int(password.size());
    }
    MQTTProperties properties = MQTTProperties_initializer;
    MQTTProperty expiry{};
    expiry.identifier = MQTTPROPERTY_CODE_SESSION_EXPIRY_INTERVAL;
    expiry.value.integer4 = m_settings.sessionExpirySeconds;
    MQTTProperties_add(&properties, &expiry);
    // The broker keeps the rest of what it has for us until these are acknowledged.
    MQTTProperty receiveMaximum{};
    receiveMaximum.identifier = MQTTPROPERTY_CODE_RECEIVE_MAXIMUM;
    receiveMaximum.value.integer2 = receiveMaximumMessages;
    MQTTProperties_add(&properties, &receiveMaximum);
    options.connectProperties = &properties;

    // Peer verification and the host name check stay on: there is no insecure mode. A CA file
    // replaces the system's CAs rather than adding to them.
    MQTTAsync_SSLOptions tls = MQTTAsync_SSLOptions_initializer;
    const QByteArray caFile = QFile::encodeName(m_settings.caFile);
    if (m_settings.broker.tls) {
        tls.enableServerCertAuth = 1;
        tls.verify = 1;
        if (!caFile.isEmpty()) {
            tls.trustStore = caFile.constData();
            tls.disableDefaultTrustStore = 1;
        }
        tls.ssl_error_cb = &PahoCallbacks::onTlsError;
        tls.ssl_error_context = context;
        options.ssl = &tls;
    }
    rc = MQTTAsync_connect(client, &options);
    MQTTProperties_free(&properties);
    if (rc != MQTTASYNC_SUCCESS)
        handleConnectFailure(rc, 0, QString());
}

void MqttConnection::handleConnected(bool sessionPresent)
{
    m_state = State::Connected;
    m_hadSession = true;
    m_retryDelayMs = firstRetryMs;
    Q_EMIT connected(sessionPresent);
}

void MqttConnection::handleConnectFailure(int code, int reasonCode, const QString &message)
{
    dropClient(false);
    m_state = State::Offline;
    qCDebug(lcSync) << "connect failed: code" << code << "reason" << reasonCode << message;
    // Paho gives a refusing CONNACK's reason as the code.
    if (reasonCode == 0 && message.startsWith(QLatin1String("CONNACK")))
        reasonCode = code;
    if (isCredentialsRefusal(reasonCode)) {
        fail(Failure::NotAuthorised, QStringLiteral("not authorised"));
    } else if (reasonCode > 0) {
        fail(Failure::Refused,
             QStringLiteral("the broker refused the session: %1")
                     .arg(QString::fromUtf8(MQTTReasonCode_toString(MQTTReasonCodes(reasonCode)))));
    } else if (m_settings.broker.tls && !m_tlsError.isEmpty()) {
        fail(Failure::Certificate,
             QStringLiteral("the broker's certificate does not verify (%1)").arg(m_tlsError));
    } else if (m_settings.broker.tls && message.contains(QLatin1String("TLS"))) {
        reportTlsFailure();
    } else {
        QString detail = message.isEmpty() ? QString::fromUtf8(MQTTAsync_strerror(code)) : message;
        if (detail.contains(QLatin1String("timeout")))
            detail = QStringLiteral("no answer within %1 s").arg(connectTimeoutMs / 1000);
        else if (detail == QLatin1String("TCP connect completion failure"))
            detail = QStringLiteral("the connection ended without a valid answer to CONNECT");
        else if (detail == QLatin1String("TCP/TLS connect failure"))
            detail = QStringLiteral("the connection was refused or failed");
        fail(Failure::Unreachable,
             QStringLiteral("cannot reach %1:%2: %3")
                     .arg(m_settings.broker.host)
                     .arg(m_settings.broker.port)
                     .arg(detail));
    }
}

void MqttConnection::reportTlsFailure()
{
    delete m_reachable;
    auto *socket = new QTcpSocket(this);
    m_reachable = socket;
    auto decide = [this, socket](bool reachable) {
        const QString error = reachable ? QString() : socket->errorString();
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
        if (reachable)
            fail(Failure::Certificate,
                 QStringLiteral("the broker's certificate does not verify (the TLS handshake or "
                                "the check that it is for %1 failed)")
                         .arg(m_settings.broker.host));
        else
            fail(Failure::Unreachable,
                 QStringLiteral("cannot reach %1:%2: %3")
                         .arg(m_settings.broker.host)
                         .arg(m_settings.broker.port)
                         .arg(error));
    };
    connect(socket, &QTcpSocket::connected, this, [decide] { decide(true); });
    connect(socket, &QTcpSocket::errorOccurred, this, [decide] { decide(false); });
    QTimer::singleShot(connectTimeoutMs, socket, [decide] { decide(false); });
    socket->connectToHost(m_settings.broker.host, quint16(m_settings.broker.port));
}

void MqttConnection::fail(Failure failure, const QString &message)
{
    Q_EMIT connectFailed(failure, message);
    scheduleRetry();
}

void MqttConnection::handleConnectionLost(const QString &reason)
{
    dropClient(false);
    m_state = State::Offline;
    Q_EMIT connectionLost(reason);
    scheduleRetry();
}

void MqttConnection::dropClient(bool sayGoodbye)
{
    if (!m_client)
        return;
    {
        Registry &r = registry();
        QMutexLocker lock(&r.mutex);
        r.connections.remove(m_key);
    }
    {
        const std::lock_guard lock(gate().mutex);
        m_inbox->closed = true;
        gate().changed.notify_all();
    }
    m_inbox.reset();
    m_key = 0;
    const PahoCall call;
    MQTTAsync client = m_client;
    m_client = nullptr;
    if (sayGoodbye && MQTTAsync_isConnected(client)) {
        // Paho sends DISCONNECT from its own thread; the session stays on the broker.
        MQTTAsync_disconnectOptions options = MQTTAsync_disconnectOptions_initializer5;
        options.timeout = 0;
        if (MQTTAsync_disconnect(client, &options) == MQTTASYNC_SUCCESS) {
            const QDeadlineTimer deadline(1000);
            while (MQTTAsync_isConnected(client) && !deadline.hasExpired())
                QThread::msleep(1);
        }
    }
    MQTTAsync_destroy(&client);
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

int MqttConnection::publish(const QByteArray &topic, const QByteArray &payload, bool retain)
{
    if (m_state != State::Connected || !m_client)
        return -1;
    MQTTAsync_message message = MQTTAsync_message_initializer;
    message.payload = const_cast<char *>(payload.constData());
    message.payloadlen = int(payload.size());
    message.qos = 1;
    message.retained = retain ? 1 : 0;
    MQTTAsync_responseOptions options = MQTTAsync_responseOptions_initializer;
    options.onSuccess5 = &PahoCallbacks::onPublished;
    options.onFailure5 = &PahoCallbacks::onPublishFailed;
    options.context = reinterpret_cast<void *>(m_key);
    const PahoCall call;
    const int rc = MQTTAsync_sendMessage(m_client, topic.constData(), &message, &options);
    if (rc != MQTTASYNC_SUCCESS) {
        qCDebug(lcSync) << "publish failed:" << MQTTAsync_strerror(rc);
        return -1;
    }
    return options.token;
}

int MqttConnection::subscribe(const QList<QByteArray> &filters)
{
    if (m_state != State::Connected || !m_client || filters.isEmpty())
        return -1;
    std::vector<char *> pointers;
    for (const QByteArray &filter : filters)
        pointers.push_back(const_cast<char *>(filter.constData()));
    std::vector<int> qos(filters.size(), 1);
    MQTTAsync_responseOptions options = MQTTAsync_responseOptions_initializer;
    options.onSuccess5 = &PahoCallbacks::onSubscribed;
    options.onFailure5 = &PahoCallbacks::onSubscribeFailed;
    options.context = reinterpret_cast<void *>(m_key);
    const PahoCall call;
    const int rc = MQTTAsync_subscribeMany(m_client, int(pointers.size()), pointers.data(),
                                           qos.data(), &options);
    if (rc != MQTTASYNC_SUCCESS) {
        qCDebug(lcSync) << "subscribe failed:" << MQTTAsync_strerror(rc);
        return -1;
    }
    return options.token;
}
