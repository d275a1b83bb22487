#pragma once

#include "deviceannouncement.h"
#include "handlerguard.h"

#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>

#include <optional>

class CloudKeyValueStore;
class DeviceIdentity;

// Keeps this computer's announcement in the registry all the user's devices share under
// "deviceRegistry", and publishes the other devices seen within the last 30 days, by name.
//
// The registry keeps no copy of the stored map: every operation reads the store afresh.
// otherDevices is assigned on the main thread only (refresh may run on the store's notifier
// thread; it posts the result), and every assignment emits otherDevicesChanged.
class DeviceRegistry : public QObject
{
    Q_OBJECT

public:
    static inline const QString registryKey = QStringLiteral("deviceRegistry");
    static constexpr double staleAfter = 2592000; // 30 days, in seconds

    // An undecodable registry that announce() replaces is first kept in backupFolder.
    DeviceRegistry(CloudKeyValueStore *kvStore, DeviceIdentity *identity,
                   const QString &backupFolder, QObject *parent = nullptr);
    ~DeviceRegistry() override;

    const QList<DeviceAnnouncement> &otherDevices() const { return m_otherDevices; }

    // Writes this computer's record into the stored map. When the stored value is there but cannot
    // be read, or undecodable bytes could not be kept in a backup, nothing is written and the
    // announcement is made again at the store's next external change.
    void announce(SyncDeviceType deviceType, const QString &deviceName);
    void refresh();

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

    QList<DeviceAnnouncement> m_otherDevices;
    CloudKeyValueStore *m_kvStore = nullptr;
    DeviceIdentity *m_identity = nullptr;
    const QString m_backupFolder;
    HandlerGuard m_remoteChangeGuard;
    QMutex m_deferredMutex;
    std::optional<Deferred> m_deferred; // an announcement that waits for a readable value
};
