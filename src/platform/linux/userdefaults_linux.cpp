#include "userdefaults_linux.h"

#include "privatefiles_linux.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutexLocker>

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>

namespace {

struct LoadedDefaults
{
    enum class State {
        Absent, // no file, or an empty one: nothing to keep
        Object, // a JSON object
        Undecodable, // something is there that is not a JSON object
    };
    State state = State::Absent;
    QJsonObject object;
};

LoadedDefaults load(const QString &path)
{
    using PrivateFiles::ReadStatus;
    const auto read = PrivateFiles::readFile(path, LinuxUserDefaults::maxFileBytes);
    if (read.status == ReadStatus::Missing)
        return {};
    if (read.status != ReadStatus::Ok)
        return {LoadedDefaults::State::Undecodable, {}};
    if (read.bytes.trimmed().isEmpty())
        return {};
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(read.bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return {LoadedDefaults::State::Undecodable, {}};
    return {LoadedDefaults::State::Object, document.object()};
}

// Moves an undecodable file (or whatever stands in its place) aside under a name of its own.
bool moveAside(const QString &path)
{
    const QString stem = path + QStringLiteral(".corrupt-")
            + QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMddTHHmmssZ"));
    for (int attempt = 1; attempt < 1000; ++attempt) {
        const QString candidate
                = attempt == 1 ? stem : stem + QLatin1Char('-') + QString::number(attempt);
        const QByteArray native = QFile::encodeName(candidate);
        struct stat info = {};
        if (::lstat(native.constData(), &info) == 0)
            continue;
        if (errno != ENOENT)
            return false;
        return std::rename(QFile::encodeName(path).constData(), native.constData()) == 0;
    }
    return false;
}

} // namespace

LinuxUserDefaults::LinuxUserDefaults(const QString &filePath)
    : m_filePath(filePath)
{
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
    // Write through a symbolic link (a managed dotfile) instead of replacing the link.
    const QString target = PrivateFiles::resolvedPath(m_filePath);
    LoadedDefaults loaded = load(target);
    if (loaded.state == LoadedDefaults::State::Undecodable && !moveAside(target))
        return; // never overwrite what could not be kept
    loaded.object.insert(key, value);

    if (!PrivateFiles::makePrivateFolder(QFileInfo(target).path()))
        return;
    const QByteArray tempPrefix = '.' + QFile::encodeName(QFileInfo(target).fileName()) + ".tmp-";
    PrivateFiles::replaceAtomically(target, QJsonDocument(loaded.object).toJson(), tempPrefix);
}
