#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <atomic>
#include <utility>

// A broker that answers every client's first bytes (its CONNECT) with the same scripted bytes and
// then keeps the connection open until the client closes it. It runs on a thread of its own, so
// that it also answers while the test waits for a child process.
class HostileBroker
{
public:
    explicit HostileBroker(const QByteArray &answer)
    {
        auto *server = new QTcpServer;
        server->listen(QHostAddress::LocalHost, 0);
        m_port = server->serverPort();
        server->moveToThread(&m_thread);
        QObject::connect(&m_thread, &QThread::finished, server, &QObject::deleteLater);
        QObject::connect(server, &QTcpServer::newConnection, server, [=, this] {
            while (QTcpSocket *socket = server->nextPendingConnection()) {
                ++m_connections;
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [=] {
                    socket->readAll();
                    if (!socket->property("answered").toBool())
                        socket->write(answer);
                    socket->setProperty("answered", true);
                });
            }
        });
        m_thread.start();
    }

    ~HostileBroker()
    {
        m_thread.quit();
        m_thread.wait();
    }

    int port() const { return m_port; }
    int connections() const { return m_connections; }

    // Malformed or unexpected answers, each of which must end the connection, never the process.
    // (Paho ignores a packet of the wrong type before CONNACK until its connect timeout.)
    static QList<std::pair<const char *, QByteArray>> answers()
    {
        const auto hex = [](const char *text) {
            return QByteArray::fromHex(text);
        };
        const QByteArray connack = hex("2003000000");
        return {
                {"CONNACK with an unknown property", hex("20040000017f")},
                {"CONNACK whose properties run past its end", hex("2003000005")},
                {"CONNACK cut short", hex("200100")},
                {"CONNACK with a five-byte length", hex("20ffffffff7f")},
                {"CONNACK with a property length of 256 MiB", hex("20070000ffffff7f00")},
                {"PUBLISH whose topic runs past its end", connack + hex("300500ff616263")},
                {"a second CONNACK", connack + connack},
        };
    }

private:
    QThread m_thread;
    int m_port = 0;
    std::atomic<int> m_connections = 0;
};
