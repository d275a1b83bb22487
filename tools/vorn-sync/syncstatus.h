#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>

// What the running bridge tells `vorn-sync status`: a small JSON file under
// $XDG_STATE_HOME/vorn/sync/status.json with the bridge's process id, the broker, whether it is
// connected, the last error, and per key the last time a value was sent and received. State
// changes are written at once, exchanges at most every 200 ms.
class SyncStatus : public QObject
{
    Q_OBJECT

public:
    explicit SyncStatus(const QString &path, QObject *parent = nullptr);
    ~SyncStatus() override;

    void setBroker(const QString &url, const QString &user);
    void setState(const QString &state, const QString &detail = QString());
    void noteSent(const QString &key);
    void noteReceived(const QString &key);

    static QString defaultPath();
    static inline const QByteArray tempPrefix = QByteArrayLiteral(".status-");

    // The report `vorn-sync status` prints for the file's bytes; the bridge counts as offline
    // when its process is gone. connectedOut tells whether it is connected.
    static QString report(const QByteArray &statusJson, bool *connectedOut);

private:
    void write();

    QString m_path;
    QString m_broker;
    QString m_user;
    QString m_state = QStringLiteral("offline");
    QString m_detail;
    QDateTime m_since;
    QHash<QString, QDateTime> m_sent;
    QHash<QString, QDateTime> m_received;
    QTimer m_writeTimer;
};
