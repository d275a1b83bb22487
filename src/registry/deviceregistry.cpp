#include "deviceregistry.h"

#include "cloudkeyvaluestore.h"
#include "deviceidentity.h"
#include "plainstringorder.h"
#include "referencedate.h"
#include "registrybackup.h"

#include <QMutexLocker>

#include <algorithm>

DeviceRegistry::DeviceRegistry(CloudKeyValueStore *kvStore, DeviceIdentity *identity,
                               const QString &backupFolder, QObject *parent)
    : QObject(parent)
    , m_kvStore(kvStore)
    , m_identity(identity)
    , m_backupFolder(backupFolder)
{
    // The store notifies on its own thread; refresh there and post only the result.
    connect(m_kvStore, &CloudKeyValueStore::didChangeExternally, this,
            m_remoteChangeGuard.wrap([this] {
                refresh();
                announceAgainIfDeferred();
            }),
            Qt::DirectConnection);
    refresh();
}

DeviceRegistry::~DeviceRegistry()
{
    m_remoteChangeGuard.close();
    disconnect(m_kvStore, nullptr, this, nullptr);
}

void DeviceRegistry::announce(SyncDeviceType deviceType, const QString &deviceName)
{
    Loaded loaded = loadRegistry();
    // The stored value cannot be decoded, so it is replaced; keep its bytes first so that
    // nothing the other devices wrote is lost for good. A value that is there but cannot be
    // read, or bytes that could not be kept, are left alone until the store changes again.
    const bool keep = loaded.unreadable
            || (loaded.undecodable
                && RegistryBackup::keep(m_backupFolder, *loaded.undecodable).isEmpty());
    {
        QMutexLocker locker(&m_deferredMutex);
        m_deferred.reset();
        if (keep)
            m_deferred = Deferred{deviceType, deviceName};
    }
    if (keep) {
        refresh();
        return;
    }
    const QString key = m_identity->currentDeviceID();
    const QString id = m_identity->currentDeviceID();
    loaded.registry.insert(key,
                           DeviceAnnouncement{id, deviceType, deviceName, ReferenceDate::now()});
    saveRegistry(loaded.registry);
    refresh();
}

void DeviceRegistry::announceAgainIfDeferred()
{
    std::optional<Deferred> deferred;
    {
        QMutexLocker locker(&m_deferredMutex);
        deferred = m_deferred;
    }
    if (deferred)
        announce(deferred->deviceType, deferred->deviceName);
}

void DeviceRegistry::refresh()
{
    const Loaded loaded = loadRegistry();
    if (loaded.unreadable)
        return; // what is known of the other devices stays as it was
    const DeviceRegistryMap &registry = loaded.registry;
    QList<DeviceAnnouncement> others;
    if (!registry.isEmpty())
        others = currentOthers(registry, m_identity->currentDeviceID(), ReferenceDate::now());
    QMetaObject::invokeMethod(
            this, [this, others] { setOtherDevices(others); }, Qt::QueuedConnection);
}

QList<DeviceAnnouncement> DeviceRegistry::currentOthers(const DeviceRegistryMap &registry,
                                                        const QString &ownID, double now)
{
    const double cutoff = now - staleAfter;
    QList<DeviceAnnouncement> others;
    for (const DeviceAnnouncement &record : registry) {
        if (record.id == ownID || record.lastSeenAt < cutoff)
            continue;
        others.append(record);
    }
    std::stable_sort(others.begin(), others.end(),
                     [](const DeviceAnnouncement &a, const DeviceAnnouncement &b) {
                         return PlainStringOrder::lessThan(a.deviceName, b.deviceName);
                     });
    return others;
}

DeviceRegistry::Loaded DeviceRegistry::loadRegistry() const
{
    using State = CloudKeyValueStore::StoredValue::State;
    const CloudKeyValueStore::StoredValue stored = m_kvStore->valueForKey(registryKey);
    if (stored.state == State::Absent)
        return {};
    if (stored.state == State::Unreadable)
        return {{}, std::nullopt, true};
    if (std::optional<DeviceRegistryMap> registry = RegistryValue::decode(stored.bytes))
        return {*registry, std::nullopt, false};
    return {{}, stored.bytes, false};
}

void DeviceRegistry::saveRegistry(const DeviceRegistryMap &registry)
{
    const std::optional<QByteArray> bytes = RegistryValue::encode(registry);
    if (!bytes)
        return;
    m_kvStore->setData(*bytes, registryKey);
    m_kvStore->synchronize();
}

void DeviceRegistry::setOtherDevices(const QList<DeviceAnnouncement> &devices)
{
    m_otherDevices = devices;
    Q_EMIT otherDevicesChanged();
}
