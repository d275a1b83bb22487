#include "syncedblockstate.h"

#include "compactjson.h"
#include "strictjson.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QStringList>

#include <algorithm>
#include <cmath>

std::optional<SyncedBlockState> SyncedBlockState::decode(const QByteArray &json)
{
    // The phone writes this record: it is read as strict JSON.
    const std::optional<QJsonValue> document = StrictJson::parse(json);
    if (!document || !document->isObject())
        return std::nullopt;
    const QJsonObject object = document->toObject();

    SyncedBlockState state;
    const QJsonValue isBlocking = object.value(keyName(CodingKeys::isBlocking));
    if (!isBlocking.isBool())
        return std::nullopt;
    state.isBlocking = isBlocking.toBool();

    const QJsonValue targets = object.value(keyName(CodingKeys::targetDeviceIDs));
    if (!targets.isArray())
        return std::nullopt;
    for (const QJsonValue &target : targets.toArray()) {
        if (!target.isString())
            return std::nullopt;
        state.targetDeviceIDs.insert(target.toString());
    }

    const QJsonValue updatedAt = object.value(keyName(CodingKeys::updatedAt));
    if (!updatedAt.isDouble() || !std::isfinite(updatedAt.toDouble()))
        return std::nullopt;
    state.updatedAt = updatedAt.toDouble();

    if (const auto endsAt = object.constFind(keyName(CodingKeys::endsAt));
        endsAt != object.constEnd()) {
        if (!endsAt->isDouble() || !std::isfinite(endsAt->toDouble()))
            return std::nullopt;
        state.endsAt = endsAt->toDouble();
    }
    if (const auto locked = object.constFind(keyName(CodingKeys::locked));
        locked != object.constEnd()) {
        if (!locked->isBool())
            return std::nullopt;
        state.locked = locked->toBool();
    }
    return state;
}

std::optional<QByteArray> SyncedBlockState::encode() const
{
    const std::optional<QByteArray> updatedAtJson = CompactJson::number(updatedAt);
    if (!updatedAtJson)
        return std::nullopt;
    // A set has no order; sort so that the same state always encodes to the same bytes.
    QStringList targets(targetDeviceIDs.cbegin(), targetDeviceIDs.cend());
    std::sort(targets.begin(), targets.end());
    QByteArray targetsJson = "[";
    for (const QString &target : std::as_const(targets)) {
        if (targetsJson.size() > 1)
            targetsJson += ',';
        targetsJson += CompactJson::string(target);
    }
    targetsJson += ']';

    QByteArray json = "{\"isBlocking\":" + CompactJson::boolean(isBlocking)
            + ",\"targetDeviceIDs\":" + targetsJson + ",\"updatedAt\":" + *updatedAtJson;
    if (endsAt) {
        const std::optional<QByteArray> endsAtJson = CompactJson::number(*endsAt);
        if (!endsAtJson)
            return std::nullopt;
        json += ",\"endsAt\":" + *endsAtJson;
    }
    if (locked)
        json += ",\"locked\":" + CompactJson::boolean(*locked);
    return json + '}';
}

QString SyncedBlockState::keyName(CodingKeys key)
{
    switch (key) {
    case CodingKeys::isBlocking:
        return QStringLiteral("isBlocking");
    case CodingKeys::targetDeviceIDs:
        return QStringLiteral("targetDeviceIDs");
    case CodingKeys::updatedAt:
        return QStringLiteral("updatedAt");
    case CodingKeys::endsAt:
        return QStringLiteral("endsAt");
    case CodingKeys::locked:
        return QStringLiteral("locked");
    }
    Q_UNREACHABLE();
}

std::optional<SyncedBlockState::CodingKeys> SyncedBlockState::keyFromName(const QString &name)
{
    for (CodingKeys key : {CodingKeys::isBlocking, CodingKeys::targetDeviceIDs,
                           CodingKeys::updatedAt, CodingKeys::endsAt, CodingKeys::locked}) {
        if (keyName(key) == name)
            return key;
    }
    return std::nullopt;
}
