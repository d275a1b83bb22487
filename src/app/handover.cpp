#include "handover.h"

#include "singleinstance.h"

#include <QLocalSocket>

namespace {
constexpr int probeIntervalMs = 50;
}

HandOver::HandOver(SingleInstance &instance, QObject *parent)
    : QObject(parent)
    , m_instance(instance)
{
    m_timer.setInterval(probeIntervalMs);
    connect(&m_timer, &QTimer::timeout, this, &HandOver::probe);
}

void HandOver::start(int timeoutMs)
{
    if (m_timer.isActive())
        return;
    m_deadline.setRemainingTime(timeoutMs);
    // Deferred, so that the answer that announced the hand-over leaves before the socket closes.
    QTimer::singleShot(0, this, [this] {
        m_instance.release();
        m_timer.start();
    });
}

void HandOver::probe()
{
    if (m_deadline.hasExpired()) {
        giveUp();
        return;
    }
    // Asked without blocking: this process enforces on its event loop until the very end.
    if (m_probe)
        return;
    m_probe = new QLocalSocket(this);
    QLocalSocket *socket = m_probe;
    connect(socket, &QLocalSocket::connected, socket, [socket] { socket->write("status\n"); });
    connect(socket, &QLocalSocket::readyRead, socket, [this, socket] {
        if (!socket->canReadLine())
            return;
        // "windows <n>" comes once the successor's blocker exists; before that it answers "error".
        const bool running = socket->readLine().startsWith("windows ");
        socket->abort();
        socket->deleteLater();
        if (running) {
            m_timer.stop();
            Q_EMIT finished();
        }
    });
    connect(socket, &QLocalSocket::errorOccurred, socket, &QObject::deleteLater);
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    socket->connectToServer(m_instance.socketPath());
}

void HandOver::giveUp()
{
    m_timer.stop();
    if (m_probe)
        m_probe->deleteLater();
    if (m_instance.claim() == SingleInstance::Claim::Primary) {
        Q_EMIT resumed();
        return;
    }
    // Someone else holds the session now, answering or not; it is theirs.
    Q_EMIT finished();
}
