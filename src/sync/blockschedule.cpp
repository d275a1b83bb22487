#include "blockschedule.h"

#include "compactjson.h"
#include "strictjson.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QStringList>

#include <algorithm>
#include <array>
#include <cmath>

namespace {

constexpr std::array<const char *, 7> dayNames{"mon", "tue", "wed", "thu", "fri", "sat", "sun"};

std::optional<QSet<QString>> stringSet(const QJsonValue &value)
{
    if (!value.isArray())
        return std::nullopt;
    QSet<QString> set;
    for (const QJsonValue &element : value.toArray()) {
        if (!element.isString())
            return std::nullopt;
        set.insert(element.toString());
    }
    return set;
}

std::optional<ScheduleWindow> decodeWindow(const QJsonValue &value)
{
    if (!value.isObject())
        return std::nullopt;
    const QJsonObject object = value.toObject();
    ScheduleWindow window;
    const std::optional<QSet<QString>> days = stringSet(object.value(QStringLiteral("days")));
    if (!days || days->isEmpty())
        return std::nullopt;
    for (const QString &day : *days) {
        const auto found = std::find(dayNames.cbegin(), dayNames.cend(), day);
        if (found == dayNames.cend())
            return std::nullopt;
        window.days.insert(int(found - dayNames.cbegin()) + 1);
    }
    const QJsonValue start = object.value(QStringLiteral("start"));
    const QJsonValue end = object.value(QStringLiteral("end"));
    const std::optional<int> startMinutes = BlockSchedule::minutesFromText(start.toString());
    const std::optional<int> endMinutes = BlockSchedule::minutesFromText(end.toString());
    if (!start.isString() || !end.isString() || !startMinutes || !endMinutes
        || *startMinutes == *endMinutes)
        return std::nullopt;
    window.start = *startMinutes;
    window.end = *endMinutes;
    const std::optional<QSet<QString>> targets
            = stringSet(object.value(QStringLiteral("targetDeviceIDs")));
    if (!targets)
        return std::nullopt;
    window.targetDeviceIDs = *targets;
    if (const auto locked = object.constFind(QStringLiteral("locked"));
        locked != object.constEnd()) {
        if (!locked->isBool())
            return std::nullopt;
        window.locked = locked->toBool();
    }
    return window;
}

QByteArray sortedStrings(const QStringList &unsorted)
{
    QStringList strings = unsorted;
    std::sort(strings.begin(), strings.end());
    QByteArray json = "[";
    for (const QString &string : std::as_const(strings))
        json += (json.size() > 1 ? "," : "") + CompactJson::string(string);
    return json + ']';
}

} // namespace

std::optional<BlockSchedule> BlockSchedule::decode(const QByteArray &json)
{
    const std::optional<QJsonValue> document = StrictJson::parse(json);
    if (!document || !document->isObject())
        return std::nullopt;
    const QJsonObject object = document->toObject();
    const QJsonValue windows = object.value(QStringLiteral("windows"));
    const QJsonValue updatedAt = object.value(QStringLiteral("updatedAt"));
    if (!windows.isArray() || !updatedAt.isDouble() || !std::isfinite(updatedAt.toDouble()))
        return std::nullopt;
    BlockSchedule schedule;
    schedule.updatedAt = updatedAt.toDouble();
    for (const QJsonValue &value : windows.toArray()) {
        const std::optional<ScheduleWindow> window = decodeWindow(value);
        if (!window)
            return std::nullopt;
        schedule.windows.append(*window);
    }
    return schedule;
}

std::optional<QByteArray> BlockSchedule::encode() const
{
    const std::optional<QByteArray> updatedAtJson = CompactJson::number(updatedAt);
    if (!updatedAtJson)
        return std::nullopt;
    QByteArray json = "{\"windows\":[";
    for (qsizetype i = 0; i < windows.size(); ++i) {
        const ScheduleWindow &window = windows[i];
        QList<int> days(window.days.cbegin(), window.days.cend());
        std::sort(days.begin(), days.end());
        QByteArray daysJson = "[";
        for (int day : std::as_const(days))
            daysJson += (daysJson.size() > 1 ? "," : "") + CompactJson::string(dayName(day));
        json += (i ? ",{\"days\":" : "{\"days\":") + daysJson + ']'
                + ",\"start\":" + CompactJson::string(textFromMinutes(window.start)) + ",\"end\":"
                + CompactJson::string(textFromMinutes(window.end)) + ",\"targetDeviceIDs\":"
                + sortedStrings(QStringList(window.targetDeviceIDs.cbegin(),
                                            window.targetDeviceIDs.cend()));
        if (window.locked)
            json += ",\"locked\":" + CompactJson::boolean(*window.locked);
        json += '}';
    }
    return json + "],\"updatedAt\":" + *updatedAtJson + '}';
}

QString BlockSchedule::dayName(int isoDay)
{
    return isoDay >= 1 && isoDay <= 7 ? QString::fromLatin1(dayNames[size_t(isoDay - 1)])
                                      : QString();
}

std::optional<int> BlockSchedule::minutesFromText(const QString &text)
{
    if (text.size() != 5 || text[2] != QLatin1Char(':'))
        return std::nullopt;
    for (int i : {0, 1, 3, 4}) {
        if (text[i] < QLatin1Char('0') || text[i] > QLatin1Char('9'))
            return std::nullopt;
    }
    const int hours = text.left(2).toInt();
    const int minutes = text.mid(3).toInt();
    if (hours > 23 || minutes > 59)
        return std::nullopt;
    return hours * 60 + minutes;
}

QString BlockSchedule::textFromMinutes(int minutes)
{
    return QStringLiteral("%1:%2")
            .arg(minutes / 60, 2, 10, QLatin1Char('0'))
            .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}
