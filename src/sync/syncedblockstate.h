#pragma once

#include <QByteArray>
#include <QSet>
#include <QString>

#include <optional>

// The block state as the phone publishes it under "syncedBlockState".
struct SyncedBlockState
{
    enum class CodingKeys { isBlocking, targetDeviceIDs, updatedAt, endsAt, locked };

    bool isBlocking = false;
    QSet<QString> targetDeviceIDs;
    double updatedAt = 0; // seconds since 2001-01-01 00:00:00 UTC
    // Optional: when a blocking session ends by itself (same time scale as updatedAt), and
    // whether it may not be ended or shortened before then. Absent, the record means what a
    // record of three members always meant.
    std::optional<double> endsAt = std::nullopt;
    std::optional<bool> locked = std::nullopt;

    // Strict decoding: a JSON object with the three required members of the right JSON types (a
    // boolean, an array of strings, a number); null, a missing member or any other type rejects
    // the record. The optional endsAt and locked, when present, must be a finite number and a
    // boolean, or the record is rejected too. Members with other names are ignored.
    static std::optional<SyncedBlockState> decode(const QByteArray &json);
    // Compact JSON, members in field order, the optional ones only when set; nothing when a time
    // is not a finite number.
    std::optional<QByteArray> encode() const;

    static QString keyName(CodingKeys key);
    static std::optional<CodingKeys> keyFromName(const QString &name);

    friend bool operator==(const SyncedBlockState &, const SyncedBlockState &) = default;
};
