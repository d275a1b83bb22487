#include "userdefaults_linux.h"

#include "privatefiles_linux.h"
#include "strictjson.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutexLocker>

namespace {

struct LoadedDefaults
{
    enum class State {
        Absent, // no file, or an empty one: nothing to keep
        Object, // a JSON object
        Undecodable, // bytes that are not a JSON object: moved aside before a write
        NotAFile, // a link or something else that is not a file: moved aside by the write
        Unreadable, // a file that cannot be read now (permissions, size): never replaced
    };
    State state = State::Absent;
    QJsonObject object;
};

LoadedDefaults load(const QString &path)
{
    using PrivateFiles::ReadStatus;
    const auto read = PrivateFiles::readPrivateFile(path, LinuxUserDefaults::maxFileBytes);
    switch (read.status) {
    case ReadStatus::Missing:
        return {};
    case ReadStatus::NotAFile:
        return {LoadedDefaults::State::NotAFile, {}};
    case ReadStatus::Unreadable:
    case ReadStatus::TooLarge:
        return {LoadedDefaults::State::Unreadable, {}};
    case ReadStatus::Ok:
        break;
    }
    if (read.bytes.trimmed().isEmpty())
        return {};
    // Strict: a file that Qt's lenient reader would take differently ("\x41" as "x41") is kept
    // aside, not rewritten as read.
    const std::optional<QJsonValue> value = StrictJson::parse(read.bytes);
    if (!value || !value->isObject())
        return {LoadedDefaults::State::Undecodable, {}};
    return {LoadedDefaults::State::Object, value->toObject()};
}

QByteArray tempPrefixFor(const QString &path)
{
    return '.' + QFile::encodeName(QFileInfo(path).fileName()) + ".tmp-";
}

} // namespace

LinuxUserDefaults::LinuxUserDefaults(const QString &filePath)
    : m_filePath(filePath)
{
    // Left behind by writers that were killed between writing and renaming.
    PrivateFiles::sweepTemporaries(QFileInfo(m_filePath).path(), tempPrefixFor(m_filePath));
}

bool LinuxUserDefaults::boolFromString(const QString &text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.compare(QLatin1String("yes"), Qt::CaseInsensitive) == 0
        || trimmed.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0)
        return true;
    // An integer of any length: only whether it is zero matters, so overflow cannot occur.
    qsizetype i = 0;
    if (i < trimmed.size() && (trimmed[i] == QLatin1Char('+') || trimmed[i] == QLatin1Char('-')))
        ++i;
    if (i == trimmed.size())
        return false;
    bool nonZero = false;
    for (; i < trimmed.size(); ++i) {
        const QChar c = trimmed[i];
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
        nonZero = nonZero || c != QLatin1Char('0');
    }
    return nonZero;
}

bool LinuxUserDefaults::boolForKey(const QString &key) const
{
    const QJsonValue value = load(m_filePath).object.value(key);
    switch (value.type()) {
    case QJsonValue::Bool:
        return value.toBool();
    case QJsonValue::Double:
        return value.toDouble() != 0.0;
    case QJsonValue::String:
        return boolFromString(value.toString());
    default:
        return false;
    }
}

void LinuxUserDefaults::setBool(bool value, const QString &key)
{
    setValue(key, QJsonValue(value));
}

std::optional<QStringList> LinuxUserDefaults::stringArrayForKey(const QString &key) const
{
    const QJsonValue value = load(m_filePath).object.value(key);
    if (!value.isArray())
        return std::nullopt;
    QStringList strings;
    const QJsonArray array = value.toArray();
    strings.reserve(array.size());
    for (const QJsonValue &element : array) {
        if (!element.isString())
            return std::nullopt;
        strings.append(element.toString());
    }
    return strings;
}

void LinuxUserDefaults::setStringArray(const QStringList &value, const QString &key)
{
    setValue(key, QJsonArray::fromStringList(value));
}

void LinuxUserDefaults::setValue(const QString &key, const QJsonValue &value)
{
    QMutexLocker locker(&m_mutex);
    if (!PrivateFiles::makePrivateFolder(QFileInfo(m_filePath).path()))
        return;
    LoadedDefaults loaded = load(m_filePath);
    switch (loaded.state) {
    case LoadedDefaults::State::Unreadable:
        PrivateFiles::logOnce("not writing " + QFile::encodeName(m_filePath)
                              + ": it exists but cannot be read");
        return;
    case LoadedDefaults::State::Undecodable:
        // Never overwrite what could not be kept.
        if (!PrivateFiles::moveAside(m_filePath, QStringLiteral(".corrupt-")))
            return;
        break;
    default:
        break;
    }
    loaded.object.insert(key, value);
    PrivateFiles::replaceAtomically(m_filePath, QJsonDocument(loaded.object).toJson(),
                                    tempPrefixFor(m_filePath));
}
