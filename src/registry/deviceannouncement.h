#pragma once

#include <QByteArray>
#include <QHashFunctions>
#include <QJsonObject>
#include <QMap>
#include <QString>

#include <optional>

// The kinds of device that take part in the registry. Raw values are matched case-sensitively.
enum class SyncDeviceType { iPhone, iPad, mac };

QString rawValue(SyncDeviceType type);
std::optional<SyncDeviceType> syncDeviceTypeFromRawValue(const QString &rawValue);

inline size_t qHash(SyncDeviceType type, size_t seed = 0)
{
    return qHash(rawValue(type), seed);
}

// Why a computer did not apply the newest block state: optional member "heldBack" of its
// announcement, {"updatedAt": <the record's updatedAt>, "reason": "locked" | "unsigned",
// "until": <when the lock ends, seconds since 2001; only for "locked">}.
struct HeldBack
{
    double updatedAt = 0;
    QString reason;
    std::optional<double> until;

    static inline const QString lockedReason = QStringLiteral("locked");
    static inline const QString unsignedReason = QStringLiteral("unsigned");

    friend bool operator==(const HeldBack &, const HeldBack &) = default;
};

// One device's entry in the shared registry. Its identity is `id`.
struct DeviceAnnouncement
{
    QString id;
    SyncDeviceType deviceType = SyncDeviceType::mac;
    QString deviceName;
    double lastSeenAt = 0; // seconds since 2001-01-01 00:00:00 UTC
    std::optional<HeldBack> heldBack;

    // Strict: all four members present with the right JSON types and a known device type;
    // other members are ignored. A "heldBack" that is not well formed is ignored too, so that
    // it can never spoil a record.
    static std::optional<DeviceAnnouncement> fromJson(const QJsonValue &value);
    // Compact JSON, members in field order ("heldBack" last, when set); nothing when a time is
    // not a finite number.
    std::optional<QByteArray> toJson() const;

    friend bool operator==(const DeviceAnnouncement &, const DeviceAnnouncement &) = default;
};

// The value stored under "deviceRegistry": one JSON object whose members map device identifiers
// to announcements. Decoding is all or nothing.
using DeviceRegistryMap = QMap<QString, DeviceAnnouncement>;

namespace RegistryValue {

std::optional<DeviceRegistryMap> decode(const QByteArray &json);
std::optional<QByteArray> encode(const DeviceRegistryMap &registry);

} // namespace RegistryValue
