#include "deviceregistry.h"

#include "cloudkeyvaluestore.h"
#include "deviceidentity.h"
#include "plainstringorder.h"
#include "platform.h"
#include "referencedate.h"
#include "registrybackup.h"

#include <QDeadlineTimer>
#include <QRandomGenerator>
#include <QThread>

#include <algorithm>

DeviceRegistry::DeviceRegistry(QObject *parent)
    : DeviceRegistry(Platform::cloudStore(), DeviceIdentity::shared(), parent)
{
}

DeviceRegistry::DeviceRegistry(CloudKeyValueStore *kvStore, DeviceIdentity *identity,
                               QObject *parent)
    : QObject(parent)
    , m_kvStore(kvStore)
    , m_identity(identity)
{
    m_reannounceTimer.setSingleShot(true);
    connect(&m_reannounceTimer, &QTimer::timeout, this, &DeviceRegistry::reannounceIfStillLacking);
    m_dailyTimer.setSingleShot(true);
    m_dailyTimer.setInterval(dailyAnnounceInterval);
    connect(&m_dailyTimer, &QTimer::timeout, this, [this] {
        if (m_announcedType)
            announce(*m_announcedType, m_announcedName);
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
    if (loaded.undecodable) {
        // The stored value cannot be read, so it is replaced; keep its bytes so that nothing
        // the other devices wrote is lost for good.
        RegistryBackup::keep(*loaded.undecodable);
    }
    const QString key = m_identity->currentDeviceID();
    const QString id = m_identity->currentDeviceID();
    loaded.registry.insert(key,
                           DeviceAnnouncement{id, deviceType, deviceName, ReferenceDate::now()});
    saveRegistry(loaded.registry);
    m_announcedType = deviceType;
    m_announcedName = deviceName;
    m_announcedAt = loaded.registry.value(key).lastSeenAt;
    if (thread() == QThread::currentThread())
        m_dailyTimer.start();
    refresh();
}

void DeviceRegistry::setAnnounceInterval(std::chrono::milliseconds interval)
{
    m_dailyTimer.setInterval(interval);
    if (m_dailyTimer.isActive())
        m_dailyTimer.start();
}

void DeviceRegistry::refresh()
{
    const Loaded loaded = loadRegistry();
    publishOthers(loaded, loaded.registry.isEmpty() ? QString() : m_identity->currentDeviceID());
}

void DeviceRegistry::publishOthers(const Loaded &loaded, const QString &ownID)
{
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
    if (lacksOwnAnnouncement(loaded, ownID))
        QMetaObject::invokeMethod(this, &DeviceRegistry::scheduleReannounce, Qt::QueuedConnection);
}

bool DeviceRegistry::lacksOwnAnnouncement(const Loaded &loaded, const QString &ownID) const
{
    const double announcedAt = m_announcedAt;
    if (announcedAt < 0 || !loaded.present || loaded.undecodable)
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
    if (!m_announcedType || !lacksOwnAnnouncement(loadRegistry(), m_identity->currentDeviceID()))
        return;
    m_reannounceTimes.append(QDeadlineTimer::current().deadline());
    announce(*m_announcedType, m_announcedName);
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
        return {*registry, std::nullopt, true};
    return {{}, *bytes, true};
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
