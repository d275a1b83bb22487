#include "deviceregistry.h"

#include "cloudkeyvaluestore.h"
#include "deviceidentity.h"
#include "plainstringorder.h"
#include "referencedate.h"
#include "registrybackup.h"

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
            m_remoteChangeGuard.wrap([this] { refresh(); }), Qt::DirectConnection);
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
    if (loaded.undecodable) {
        // The stored value cannot be read, so it is replaced; keep its bytes so that nothing
        // the other devices wrote is lost for good.
        RegistryBackup::keep(m_backupFolder, *loaded.undecodable);
    }
    const QString key = m_identity->currentDeviceID();
    const QString id = m_identity->currentDeviceID();
    loaded.registry.insert(key,
                           DeviceAnnouncement{id, deviceType, deviceName, ReferenceDate::now()});
    saveRegistry(loaded.registry);
    refresh();
}

void DeviceRegistry::refresh()
{
    const DeviceRegistryMap registry = loadRegistry().registry;
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
    const std::optional<QByteArray> bytes = m_kvStore->dataForKey(registryKey);
    if (!bytes)
        return {};
    if (std::optional<DeviceRegistryMap> registry = RegistryValue::decode(*bytes))
        return {*registry, std::nullopt};
    return {{}, *bytes};
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
