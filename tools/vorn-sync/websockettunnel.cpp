#include "websockettunnel.h"

#include "synclog.h"

#include <QHostAddress>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>
#include <QWebSocket>
#include <QWebSocketHandshakeOptions>

WebSocketTunnel::WebSocketTunnel(const BrokerAddress &broker, const QString &caFile,
                                 QObject *parent)
    : QObject(parent)
    , m_broker(broker)
    , m_caFile(caFile)
    , m_socket(new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, this))
    , m_server(new QTcpServer(this))
{
    connect(m_socket, &QWebSocket::connected, this, [this] {
        if (!m_server->listen(QHostAddress::LocalHost, 0)) {
            m_error = m_server->errorString();
            end();
            return;
        }
        m_up = true;
        Q_EMIT ready();
    });
    connect(m_socket, &QWebSocket::sslErrors, this, [this](const QList<QSslError> &errors) {
        QStringList texts;
        for (const QSslError &error : errors)
            texts.append(error.errorString());
        m_certificateError = texts.join(QStringLiteral("; "));
    });
    connect(m_socket, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), this,
            &WebSocketTunnel::end);
    // Before it is up, a WebSocket may pass through "disconnected" while it tries the host's next
    // address; only an error ends the attempt then.
    connect(m_socket, &QWebSocket::disconnected, this, [this] {
        if (m_up)
            end();
    });
    connect(m_socket, &QWebSocket::binaryMessageReceived, this, [this](const QByteArray &bytes) {
        if (m_peer)
            m_peer->write(bytes);
        else
            m_early.append(bytes);
    });
    connect(m_server, &QTcpServer::newConnection, this, &WebSocketTunnel::takePending);
}

WebSocketTunnel::~WebSocketTunnel()
{
    m_closed = true;
    m_socket->disconnect(this);
    m_socket->abort();
}

void WebSocketTunnel::open()
{
    QUrl url(m_broker.url());
    if (url.path().isEmpty())
        url.setPath(QStringLiteral("/"));
    QNetworkRequest request(url);
    if (m_broker.tls) {
        // Verified against the system's CA store, or only the given CA; the host name is checked.
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
        if (!m_caFile.isEmpty())
            tls.setCaCertificates(QSslCertificate::fromPath(m_caFile));
        m_socket->setSslConfiguration(tls);
    }
    QWebSocketHandshakeOptions options;
    options.setSubprotocols({QStringLiteral("mqtt")});
    qCDebug(lcSync) << "opening a WebSocket to" << url.toString();
    m_socket->open(request, options);
}

quint16 WebSocketTunnel::listenPort() const
{
    return m_server->serverPort();
}

void WebSocketTunnel::acceptPeer(quint16 sourcePort)
{
    m_expectedPort = sourcePort;
    takePending();
}

void WebSocketTunnel::takePending()
{
    if (m_expectedPort == 0)
        return; // the connection libmosquitto opened is not known yet; it stays queued
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        if (m_peer || socket->peerPort() != m_expectedPort) {
            qCWarning(lcSync) << "closed a stray local connection to the WebSocket tunnel";
            socket->abort();
            socket->deleteLater();
            continue;
        }
        m_peer = socket;
        m_server->close(); // one client per tunnel
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        connect(socket, &QTcpSocket::readyRead, this, [this] {
            while (m_peer && m_peer->bytesAvailable() > 0)
                m_socket->sendBinaryMessage(m_peer->readAll());
        });
        connect(socket, &QTcpSocket::disconnected, this, &WebSocketTunnel::end);
        for (const QByteArray &bytes : std::as_const(m_early))
            socket->write(bytes);
        m_early.clear();
        if (socket->bytesAvailable() > 0)
            Q_EMIT socket->readyRead();
    }
}

void WebSocketTunnel::end()
{
    if (m_closed)
        return;
    m_closed = true;
    QString reason;
    const bool certificate = !m_up && !m_certificateError.isEmpty();
    if (certificate)
        reason = QStringLiteral("the broker's certificate does not verify (%1)")
                         .arg(m_certificateError);
    else if (!m_up)
        reason = QStringLiteral("cannot reach %1: %2")
                         .arg(m_broker.url(),
                              m_error.isEmpty() ? m_socket->errorString() : m_error);
    if (m_peer) {
        m_peer->disconnect(this);
        m_peer->disconnectFromHost();
    }
    m_server->close();
    m_socket->disconnect(this);
    m_socket->abort();
    if (m_up)
        Q_EMIT closed();
    else
        Q_EMIT failed(certificate, reason);
}
