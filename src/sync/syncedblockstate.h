#pragma once

#include <QByteArray>
#include <QSet>
#include <QString>

#include <optional>

// The block state as the phone publishes it under "syncedBlockState".
struct SyncedBlockState
{
    enum class CodingKeys { isBlocking, targetDeviceIDs, updatedAt };

    bool isBlocking = false;
    QSet<QString> targetDeviceIDs;
    double updatedAt = 0; // seconds since 2001-01-01 00:00:00 UTC

    // Strict decoding: a JSON object with all three members of the right JSON types (a boolean,
    // an array of strings, a number); null, a missing member or any other type rejects the record.
    // Members with other names are ignored.
    static std::optional<SyncedBlockState> decode(const QByteArray &json);
    // Compact JSON, members in field order; nothing when updatedAt is not a finite number.
    std::optional<QByteArray> encode() const;

    static QString keyName(CodingKeys key);
    static std::optional<CodingKeys> keyFromName(const QString &name);

    friend bool operator==(const SyncedBlockState &, const SyncedBlockState &) = default;
};
