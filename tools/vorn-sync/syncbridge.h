#pragma once

#include "incomingvalue.h"
#include "mqttconnection.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

#include <memory>

class LinuxCloudKeyValueStore;
class SyncBase;
class SyncStatus;

// Keeps the local cloud folder and the broker in step: one retained QoS 1 topic per key,
// vorn/<user>/kv/<key>, whose payload is the key's file's exact bytes.
//
// - The folder is written the way any other writer does (atomic replace), so Vorn's store
//   notices the change as external; the bridge's own store ignores it.
// - A change another process (Vorn) makes in the folder is published.
// - After each connection the bridge subscribes to the keys Vorn reads by name, then to
//   vorn/<user>/kv/+ (a broker that drops what overflows a client's queue still sends those
//   first), and reconciles against the
//   base (the last value known to be on the broker): changed only here → ours is published;
//   changed only there → theirs is written; changed on both → the broker's value wins. The end of
//   the retained values is marked by a message the bridge sends itself on
//   vorn/<user>/sync/<client id>, which the broker delivers after them.
// - Its own publishes come back from the broker. An echo is never written back, and a foreign
//   value the broker ordered before one of ours is not written either: ours follows it.
// - Empty payloads (deletions) are ignored and local deletions are not sent. Unsafe key names and
//   values over 1 MiB are refused, each logged once; other keys go on.
// - What it takes from the broker is bounded: beyond maxKeys keys or maxBytes bytes in the folder,
//   new values are refused with one line, except those of the keys Vorn reads.
class SyncBridge : public QObject
{
    Q_OBJECT

public:
    struct Options
    {
        QString cloudFolder;
        QString baseFolder;
        QString statusFile;
        MqttConnection::Settings connection;
        int markerTimeoutMs = 3000;
        qsizetype maxKeys = 4096;
        qint64 maxBytes = 32 * 1024 * 1024;
    };

    // The keys Vorn itself reads: subscribed to first and never refused for the bounds.
    static const QStringList &vornKeys();

    explicit SyncBridge(Options options, QObject *parent = nullptr);
    ~SyncBridge() override;

    void start();
    void stop();
    // Connected, and the reconciliation after the connection is done.
    bool isInStep() const { return m_inStep; }
    MqttConnection *connection() const { return m_connection.get(); }

    // Handles one message from the broker. Never writes outside the folder; refusals are logged
    // once per key and reason. Public so that a fuzzer can drive it.
    void handleBrokerMessage(const QByteArray &topic, const QByteArray &payload);

Q_SIGNALS:
    void inStep();
    void outOfStep();

private:
    void handleConnected();
    void handleSubscribed(int mid, const QList<int> &granted);
    void handlePublished(int mid, int reasonCode);
    void finishReconciliation(bool sawEveryValue);
    void publishLocalChanges(bool republishMissing);
    void publishValue(const QString &key, const QByteArray &bytes);
    QStringList localKeys() const;
    std::optional<QByteArray> localValue(const QString &key);
    void refuseOnce(const QString &key, const QString &reason);
    bool withinBounds(const QString &key, qint64 bytes);
    void noteFolderSize(const QString &key, qint64 bytes);
    void resetExchange();

    struct Pending
    {
        QString key;
        QByteArray bytes;
    };

    Options m_options;
    QByteArray m_kvPrefix;
    QByteArray m_markerTopic;
    QByteArray m_markerToken;
    std::unique_ptr<LinuxCloudKeyValueStore> m_store;
    std::unique_ptr<SyncBase> m_base;
    std::unique_ptr<SyncStatus> m_status;
    std::unique_ptr<MqttConnection> m_connection;
    QTimer m_markerTimeout;
    bool m_reconciling = false;
    bool m_inStep = false;
    int m_subscribeMid = -1;
    QSet<QString> m_seenThisConnection;
    QHash<QString, QList<QByteArray>> m_pending; // per key, digests of our values not yet echoed
    QHash<int, Pending> m_inFlight; // by message id, until the broker acknowledges
    QSet<QString> m_refusalsLogged;
    QHash<QString, qint64> m_folderSizes; // per key in the folder, its size
    qint64 m_folderBytes = 0;
    bool m_boundsLogged = false;
    QString m_failureLogged; // the last connection failure logged, until a connection
};
