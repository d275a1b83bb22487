#pragma once

#include <QObject>

class QSocketNotifier;

// Delivers SIGTERM and SIGINT as a Qt signal on the main thread, so that the process ends the way
// the desktop's quit does: the event loop returns and everything is torn down in order. The
// handlers only write the signal number into a socket pair that the event loop watches.
class TerminationSignals : public QObject
{
    Q_OBJECT

public:
    explicit TerminationSignals(QObject *parent = nullptr);
    ~TerminationSignals() override;

Q_SIGNALS:
    void received(int signalNumber);

private:
    void readSignal();

    QSocketNotifier *m_notifier = nullptr;
};
