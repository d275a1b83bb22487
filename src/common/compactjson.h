#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Pieces of compact JSON text for records whose members must be written in a fixed order
// (QJsonObject would sort them by name).
namespace CompactJson {

QByteArray string(const QString &value);
// Shortest text that reads back as the same double; nothing for NaN and infinities, which JSON
// cannot hold.
std::optional<QByteArray> number(double value);
inline QByteArray boolean(bool value)
{
    return value ? QByteArrayLiteral("true") : QByteArrayLiteral("false");
}

} // namespace CompactJson
