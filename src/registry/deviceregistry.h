#pragma once

#include "deviceannouncement.h"
#include "handlerguard.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <optional>

class CloudKeyValueStore;
class DeviceIdentity;

// Keeps this computer's announcement in the registry all the user's devices share under
// "deviceRegistry", and publishes the other devices seen within the last 30 days, by name.
//
// The registry keeps no copy of the stored map: every operation reads the store afresh.
//
// Every computer read-modify-writes the one stored value, so two announcing at once lose one
// record. The registry therefore converges: when an external change leaves a value that decodes
// but lacks this computer's record, or holds an older lastSeenAt for it than this run announced,
// it announces again after a random 50-500 ms (checking once more when the delay ends), at most
// maxReannouncesPerMinute times a minute; an undecodable, unreadable or absent value never
// triggers it. And it announces again every day while it runs, so that a computer that runs for
// weeks stays within the phone's 30-day window.
// otherDevices is assigned on the main thread only (refresh may run on the store's notifier
// thread; it posts the result), and every assignment emits otherDevicesChanged.
class DeviceRegistry : public QObject
{
    Q_OBJECT

public:
    static inline const QString registryKey = QStringLiteral("deviceRegistry");
    static constexpr double staleAfter = 2592000; // 30 days, in seconds
    static constexpr int reannounceMinDelayMs = 50;
    static constexpr int reannounceMaxDelayMs = 500;
    static constexpr int maxReannouncesPerMinute = 6;
    static constexpr std::chrono::milliseconds dailyAnnounceInterval = std::chrono::hours(24);

    // An undecodable registry that announce() replaces is first kept in backupFolder.
    DeviceRegistry(CloudKeyValueStore *kvStore, DeviceIdentity *identity,
                   const QString &backupFolder, QObject *parent = nullptr);
    ~DeviceRegistry() override;

    const QList<DeviceAnnouncement> &otherDevices() const { return m_otherDevices; }

    // Writes this computer's record into the stored map; called on the registry's thread. When the
    // stored value is there but cannot be read, or undecodable bytes could not be kept in a backup,
    // nothing is written and the announcement is made again at the store's next external change.
    void announce(SyncDeviceType deviceType, const QString &deviceName);
    // Says in this computer's announcement why it did not apply a block state, or no longer
    // (nothing); announces again when that changes, once announced.
    void setHeldBack(const std::optional<HeldBack> &heldBack);
    const std::optional<HeldBack> &heldBack() const { return m_heldBack; }
    void refresh();
    // When the next convergence re-announcement is due, in ms; -1 when none is scheduled.
    int reannounceDueInMs() const
    {
        return m_reannounceTimer.isActive() ? m_reannounceTimer.remainingTime() : -1;
    }

    // Other devices' records from `registry` that are not older than `now - staleAfter`,
    // sorted by name in plain string order (Unicode scalar values after NFC).
    static QList<DeviceAnnouncement> currentOthers(const DeviceRegistryMap &registry,
                                                   const QString &ownID, double now);

Q_SIGNALS:
    void otherDevicesChanged();

private:
    struct Loaded
    {
        DeviceRegistryMap registry;
        // The stored bytes when they could not be decoded; announce keeps them in a backup.
        std::optional<QByteArray> undecodable;
        // A value is stored but cannot be read: it is neither nothing nor to be replaced.
        bool unreadable = false;
        bool present = false;
    };
    struct Deferred
    {
        SyncDeviceType deviceType;
        QString deviceName;
    };

    Loaded loadRegistry() const;
    void saveRegistry(const DeviceRegistryMap &registry);
    void setOtherDevices(const QList<DeviceAnnouncement> &devices);
    void announceAgainIfDeferred();
    void publishOthers(const Loaded &loaded, const QString &ownID);
    void handleRemoteChange();
    // True when the value is decodable and misses this run's announcement.
    bool lacksOwnAnnouncement(const Loaded &loaded, const QString &ownID) const;
    void scheduleReannounce();
    void reannounceIfStillLacking();

    QList<DeviceAnnouncement> m_otherDevices;
    std::optional<HeldBack> m_heldBack;
    CloudKeyValueStore *m_kvStore = nullptr;
    DeviceIdentity *m_identity = nullptr;
    const QString m_backupFolder;
    HandlerGuard m_remoteChangeGuard;
    // Both used on this object's thread only, where every announcement runs.
    std::optional<Deferred> m_deferred; // an announcement that waits for a readable value
    std::optional<Deferred> m_announced; // this run's announcement, to repeat it

    std::atomic<double> m_announcedAt{-1}; // its time as written; read on the notifier thread
    QTimer m_reannounceTimer;
    QTimer m_dailyTimer;
    QList<qint64> m_reannounceTimes; // monotonic ms of the re-announcements of the last minute
};
