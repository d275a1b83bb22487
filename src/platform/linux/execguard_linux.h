#pragma once

#include "execguardprotocol.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>

class QSocketNotifier;
class QTimer;

// The user's side of the exec guard (vorn-guard, a root service that refuses a blocked program's
// exec before it runs): tells it whether this user blocks and which programs the blocked
// applications have, and reports the execs it refused.
//
// Promises:
// - Without a guard (not installed, not running) nothing changes: the state is kept and sent when
//   the guard appears (a connection is tried every few seconds while there is none).
// - The state is sent at each connection and whenever it changes, never twice the same; so are
//   the forwarded records (one per store key, sent before the state).
// - The paired phones are handed over at each connection and when they change: a "pair" for each
//   phone the guard was not given on this connection, an "unpair" for each one removed since
//   (kept until it could be sent). A recovery code goes once, when connected.
// - Whether a guard enforces is logged once, when blocking first turns on.
// - refused() is emitted on this object's thread for each refusal the guard reports.
class ExecGuardClient : public QObject
{
    Q_OBJECT

public:
    // socketPath: empty means $VORN_GUARD_SOCKET, else /run/vorn-guard.socket.
    explicit ExecGuardClient(const QString &socketPath = {}, QObject *parent = nullptr);
    ~ExecGuardClient() override;

    void setState(const ExecGuardProtocol::State &state);
    void forwardRecord(const ExecGuardProtocol::Record &record);
    void setPairings(const QList<ExecGuardProtocol::Pairing> &phones);
    void sendRecovery(const QString &code);
    bool isEnforcing() const { return m_enforcing; }

Q_SIGNALS:
    void refused(const QString &bundleID);
    void enforcingChanged();

private:
    void connectToGuard();
    void disconnectFromGuard();
    void readMessages();
    void sendState();
    bool send(const QByteArray &message);
    void logOnce();

    QString m_socketPath;
    ExecGuardProtocol::State m_state;
    std::optional<ExecGuardProtocol::State> m_sent;
    QHash<QString, ExecGuardProtocol::Record> m_records; // by store key
    QHash<QString, ExecGuardProtocol::Record> m_sentRecords;
    QHash<QString, ExecGuardProtocol::Pairing> m_pairings; // by fingerprint
    QHash<QString, ExecGuardProtocol::Pairing> m_sentPairings;
    QSet<QString> m_unpaired; // fingerprints whose "unpair" is still to be sent
    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
    QTimer *m_retry = nullptr;
    bool m_enforcing = false;
    bool m_logged = false;
};
