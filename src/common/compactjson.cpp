#include "compactjson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QLocale>

#include <cmath>

namespace CompactJson {

QByteArray string(const QString &value)
{
    // Let Qt's writer do the escaping: ["..."] minus the brackets.
    const QByteArray array = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

std::optional<QByteArray> number(double value)
{
    if (!std::isfinite(value))
        return std::nullopt;
    return QByteArray::number(value, 'g', QLocale::FloatingPointShortest);
}

} // namespace CompactJson
