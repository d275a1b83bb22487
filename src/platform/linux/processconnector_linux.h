#pragma once

#include <QObject>

class QSocketNotifier;

// The kernel's process connector (netlink, CN_IDX_PROC): a message the moment any process on the
// system completes an execve, and the parent of each new process as it is forked. Listening needs
// CAP_NET_ADMIN; without it open() fails and the caller falls back to watching /proc. Lives on the
// thread that opens it.
class ProcessConnector : public QObject
{
    Q_OBJECT

public:
    explicit ProcessConnector(QObject *parent = nullptr);
    ~ProcessConnector() override;

    // Subscribes to process events; false when the kernel refuses.
    bool open();

Q_SIGNALS:
    void executed(qint64 pid);
    void forked(qint64 parentPid, qint64 childPid);
    // Events were dropped (the socket's buffer overflowed): the caller must rescan.
    void eventsLost();

private:
    void readEvents();
    bool sendListen(bool listen);

    int m_socket = -1;
    QSocketNotifier *m_notifier = nullptr;
};
