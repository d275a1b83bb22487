#pragma once

#include <QDeadlineTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>

class QLocalSocket;
class SingleInstance;

// Hands a display-less Vorn's session to a Vorn started with a display, which can show the window
// this one cannot. This Vorn stops answering and lets go of the lock, but goes on enforcing until
// its successor answers on the socket with its blocker in place; then it is done. Should no
// successor answer in time, it takes the lock back when it is free and carries on as before.
class HandOver : public QObject
{
    Q_OBJECT

public:
    explicit HandOver(SingleInstance &instance, QObject *parent = nullptr);

    bool isUnderWay() const { return m_timer.isActive(); }
    // Lets go of the session; call once the answer announcing the hand-over has been queued.
    void start(int timeoutMs);

Q_SIGNALS:
    // The successor runs: this process should end.
    void finished();
    // Nobody took over in time and this process holds the session again.
    void resumed();

private:
    void probe();
    void giveUp();

    SingleInstance &m_instance;
    QTimer m_timer;
    QDeadlineTimer m_deadline;
    QPointer<QLocalSocket> m_probe;
};
