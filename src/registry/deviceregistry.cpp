#include "deviceregistry.h"

#include "cloudkeyvaluestore.h"
#include "deviceidentity.h"
#include "plainstringorder.h"
#include "referencedate.h"
#include "registrybackup.h"

#include <QDeadlineTimer>
#include <QRandomGenerator>

#include <algorithm>

DeviceRegistry::DeviceRegistry(CloudKeyValueStore *kvStore, DeviceIdentity *identity,
                               const QString &backupFolder, QObject *parent)
    : QObject(parent)
    , m_kvStore(kvStore)
    , m_identity(identity)
    , m_backupFolder(backupFolder)
{
    m_reannounceTimer.setSingleShot(true);
    connect(&m_reannounceTimer, &QTimer::timeout, this, &DeviceRegistry::reannounceIfStillLacking);
    m_dailyTimer.setSingleShot(true);
    m_dailyTimer.setInterval(dailyAnnounceInterval);
    connect(&m_dailyTimer, &QTimer::timeout, this, [this] {
        if (m_announced)
            announce(m_announced->deviceType, m_announced->deviceName);
    });
    // The store notifies on its own thread; refresh there and post only the result.
    connect(m_kvStore, &CloudKeyValueStore::didChangeExternally, this,
            m_remoteChangeGuard.wrap([this] { handleRemoteChange(); }), Qt::DirectConnection);
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
    m_announced = Deferred{deviceType, deviceName};
    m_deferred.reset();
    if (keep)
        m_deferred = Deferred{deviceType, deviceName};
    m_dailyTimer.start();
    if (keep) {
        refresh();
        return;
    }
    // Asked once: each ask is a keychain read, and the record's key and id must agree.
    const QString id = m_identity->currentDeviceID();
    const double now = ReferenceDate::now();
    loaded.registry.insert(id, DeviceAnnouncement{id, deviceType, deviceName, now, m_heldBack});
    saveRegistry(loaded.registry);
    m_announcedAt = now;
    publishOthers(loadRegistry(), id);
}

void DeviceRegistry::setHeldBack(const std::optional<HeldBack> &heldBack)
{
    if (heldBack == m_heldBack)
        return;
    m_heldBack = heldBack;
    if (m_announced)
        announce(m_announced->deviceType, m_announced->deviceName);
}

void DeviceRegistry::announceAgainIfDeferred()
{
    if (m_deferred)
        announce(m_deferred->deviceType, m_deferred->deviceName);
}

void DeviceRegistry::refresh()
{
    const Loaded loaded = loadRegistry();
    publishOthers(loaded, loaded.registry.isEmpty() ? QString() : m_identity->currentDeviceID());
}

void DeviceRegistry::publishOthers(const Loaded &loaded, const QString &ownID)
{
    if (loaded.unreadable)
        return; // what is known of the other devices stays as it was
    QList<DeviceAnnouncement> others;
    if (!loaded.registry.isEmpty())
        others = currentOthers(loaded.registry, ownID, ReferenceDate::now());
    QMetaObject::invokeMethod(
            this, [this, others] { setOtherDevices(others); }, Qt::QueuedConnection);
}

void DeviceRegistry::handleRemoteChange()
{
    const Loaded loaded = loadRegistry();
    const QString ownID = m_identity->currentDeviceID();
    publishOthers(loaded, ownID);
    // Announcing is a read-modify-write of the stored value: it runs on this object's thread
    // only, after any announce under way there has decided whether to wait.
    QMetaObject::invokeMethod(this, &DeviceRegistry::announceAgainIfDeferred, Qt::QueuedConnection);
    if (lacksOwnAnnouncement(loaded, ownID))
        QMetaObject::invokeMethod(this, &DeviceRegistry::scheduleReannounce, Qt::QueuedConnection);
}

bool DeviceRegistry::lacksOwnAnnouncement(const Loaded &loaded, const QString &ownID) const
{
    const double announcedAt = m_announcedAt;
    if (announcedAt < 0 || !loaded.present || loaded.unreadable || loaded.undecodable)
        return false;
    const auto own = loaded.registry.constFind(ownID);
    // A millisecond of slack for the number's trip through JSON text.
    return own == loaded.registry.cend() || own->id != ownID
            || own->lastSeenAt < announcedAt - 0.001;
}

void DeviceRegistry::scheduleReannounce()
{
    if (m_reannounceTimer.isActive())
        return;
    // Spread out, so that computers that lost their records at the same moment do not collide
    // again; and bounded, so that two that keep disagreeing cannot flood the broker.
    const qint64 now = QDeadlineTimer::current().deadline();
    m_reannounceTimes.removeIf([now](qint64 at) { return now - at >= 60000; });
    qint64 delay
            = QRandomGenerator::global()->bounded(reannounceMinDelayMs, reannounceMaxDelayMs + 1);
    if (m_reannounceTimes.size() >= maxReannouncesPerMinute)
        delay = std::max(delay, m_reannounceTimes.first() + 60000 - now);
    m_reannounceTimer.start(int(delay));
}

void DeviceRegistry::reannounceIfStillLacking()
{
    if (!m_announced || !lacksOwnAnnouncement(loadRegistry(), m_identity->currentDeviceID()))
        return;
    m_reannounceTimes.append(QDeadlineTimer::current().deadline());
    announce(m_announced->deviceType, m_announced->deviceName);
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
    Loaded loaded;
    loaded.present = true;
    if (stored.state == State::Unreadable)
        loaded.unreadable = true;
    else if (std::optional<DeviceRegistryMap> registry = RegistryValue::decode(stored.bytes))
        loaded.registry = *registry;
    else
        loaded.undecodable = stored.bytes;
    return loaded;
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
