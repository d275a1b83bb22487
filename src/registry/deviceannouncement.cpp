#include "deviceannouncement.h"

#include "compactjson.h"
#include "strictjson.h"

#include <cmath>

QString rawValue(SyncDeviceType type)
{
    switch (type) {
    case SyncDeviceType::iPhone:
        return QStringLiteral("iPhone");
    case SyncDeviceType::iPad:
        return QStringLiteral("iPad");
    case SyncDeviceType::mac:
        return QStringLiteral("mac");
    }
    Q_UNREACHABLE();
}

std::optional<SyncDeviceType> syncDeviceTypeFromRawValue(const QString &value)
{
    for (SyncDeviceType type :
         {SyncDeviceType::iPhone, SyncDeviceType::iPad, SyncDeviceType::mac}) {
        if (rawValue(type) == value)
            return type;
    }
    return std::nullopt;
}

namespace {

std::optional<double> finiteNumber(const QJsonValue &value)
{
    if (!value.isDouble() || !std::isfinite(value.toDouble()))
        return std::nullopt;
    return value.toDouble();
}

std::optional<HeldBack> heldBackFromJson(const QJsonValue &value)
{
    const QJsonObject object = value.toObject();
    const std::optional<double> updatedAt = finiteNumber(object.value(QLatin1String("updatedAt")));
    const QJsonValue reason = object.value(QLatin1String("reason"));
    const QJsonValue until = object.value(QLatin1String("until"));
    if (!updatedAt || !reason.isString() || reason.toString().isEmpty())
        return std::nullopt;
    HeldBack heldBack{*updatedAt, reason.toString(), finiteNumber(until)};
    if (!until.isUndefined() && !heldBack.until)
        return std::nullopt;
    return heldBack;
}

} // namespace

std::optional<DeviceAnnouncement> DeviceAnnouncement::fromJson(const QJsonValue &value)
{
    if (!value.isObject())
        return std::nullopt;
    const QJsonObject object = value.toObject();
    const QJsonValue id = object.value(QLatin1String("id"));
    const QJsonValue deviceType = object.value(QLatin1String("deviceType"));
    const QJsonValue deviceName = object.value(QLatin1String("deviceName"));
    const std::optional<double> seenAt = finiteNumber(object.value(QLatin1String("lastSeenAt")));
    if (!id.isString() || !deviceType.isString() || !deviceName.isString() || !seenAt)
        return std::nullopt;
    const std::optional<SyncDeviceType> type = syncDeviceTypeFromRawValue(deviceType.toString());
    if (!type)
        return std::nullopt;
    return DeviceAnnouncement{id.toString(), *type, deviceName.toString(), *seenAt,
                              heldBackFromJson(object.value(QLatin1String("heldBack")))};
}

std::optional<QByteArray> DeviceAnnouncement::toJson() const
{
    const std::optional<QByteArray> time = CompactJson::number(lastSeenAt);
    if (!time)
        return std::nullopt;
    QByteArray json = "{\"id\":" + CompactJson::string(id)
            + ",\"deviceType\":" + CompactJson::string(rawValue(deviceType))
            + ",\"deviceName\":" + CompactJson::string(deviceName) + ",\"lastSeenAt\":" + *time;
    if (heldBack) {
        const std::optional<QByteArray> updatedAt = CompactJson::number(heldBack->updatedAt);
        const std::optional<QByteArray> until
                = heldBack->until ? CompactJson::number(*heldBack->until) : QByteArray();
        if (!updatedAt || !until)
            return std::nullopt;
        json += ",\"heldBack\":{\"updatedAt\":" + *updatedAt
                + ",\"reason\":" + CompactJson::string(heldBack->reason)
                + (heldBack->until ? ",\"until\":" + *until : QByteArray()) + '}';
    }
    return json + '}';
}

namespace RegistryValue {

std::optional<DeviceRegistryMap> decode(const QByteArray &json)
{
    // Every device writes this value: it is read as strict JSON.
    const std::optional<QJsonValue> document = StrictJson::parse(json);
    if (!document || !document->isObject())
        return std::nullopt;
    const QJsonObject object = document->toObject();
    DeviceRegistryMap registry;
    for (auto it = object.begin(); it != object.end(); ++it) {
        std::optional<DeviceAnnouncement> record = DeviceAnnouncement::fromJson(it.value());
        if (!record)
            return std::nullopt;
        registry.insert(it.key(), *record);
    }
    return registry;
}

std::optional<QByteArray> encode(const DeviceRegistryMap &registry)
{
    QByteArray json = "{";
    for (auto it = registry.cbegin(); it != registry.cend(); ++it) {
        const std::optional<QByteArray> record = it.value().toJson();
        if (!record)
            return std::nullopt;
        if (json.size() > 1)
            json += ',';
        json += CompactJson::string(it.key()) + ':' + *record;
    }
    json += '}';
    return json;
}

} // namespace RegistryValue
