#pragma once

#include "brokeraddress.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

class QTcpServer;
class QTcpSocket;
class QWebSocket;

// Carries one MQTT connection over WebSockets for libmosquitto, which speaks only TCP: the broker
// side is a QWebSocket (subprotocol "mqtt", TLS for wss:// verified like mqtts://), the client side
// a listener on 127.0.0.1 that takes exactly one connection, the one whose source port the caller
// names with acceptPeer(); any other local connection is closed unread. MQTT packets may be split
// across WebSocket messages either way, so bytes are passed on as they come. One tunnel per
// connection attempt: when either side closes, so does the other, and closed() is emitted once.
class WebSocketTunnel : public QObject
{
    Q_OBJECT

public:
    WebSocketTunnel(const BrokerAddress &broker, const QString &caFile, QObject *parent = nullptr);
    ~WebSocketTunnel() override;

    // Opens the WebSocket; ready() once it is up and the listener waits on listenPort().
    void open();
    quint16 listenPort() const;
    void acceptPeer(quint16 sourcePort);

Q_SIGNALS:
    void ready();
    void failed(bool certificate, const QString &message);
    void closed();

private:
    void takePending();
    void end();

    BrokerAddress m_broker;
    QString m_caFile;
    QWebSocket *m_socket = nullptr;
    QTcpServer *m_server = nullptr;
    QPointer<QTcpSocket> m_peer;
    quint16 m_expectedPort = 0;
    QList<QByteArray> m_early; // from the broker before the client was accepted
    QString m_certificateError;
    QString m_error;
    bool m_up = false;
    bool m_closed = false;
};
