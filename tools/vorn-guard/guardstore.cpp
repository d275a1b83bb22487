#include "guardstore.h"

#include "strictjson.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <sys/stat.h>

namespace {

bool makePrivateFolder(const QString &path, QString *error)
{
    if (!QDir().mkpath(path) || ::chmod(QFile::encodeName(path).constData(), 0700) != 0) {
        *error = QStringLiteral("cannot create %1 as a private folder").arg(path);
        return false;
    }
    return true;
}

} // namespace

GuardStore::GuardStore(const QString &folder)
    : m_folder(folder)
{
}

bool GuardStore::prepare(QString *error) const
{
    return makePrivateFolder(m_folder, error);
}

QHash<uint, UserState> GuardStore::load(QStringList *errors) const
{
    QHash<uint, UserState> states;
    const QStringList users = QDir(m_folder).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &name : users) {
        bool isNumber = false;
        const uint uid = name.toUInt(&isNumber);
        if (!isNumber)
            continue;
        QFile file(m_folder + QLatin1Char('/') + name + QLatin1String("/state.json"));
        if (!file.exists())
            continue;
        std::optional<UserState> state;
        if (file.open(QIODevice::ReadOnly))
            state = decode(file.read(64 << 20));
        if (state)
            states.insert(uid, *state);
        else
            errors->append(QStringLiteral("cannot read %1").arg(file.fileName()));
    }
    return states;
}

bool GuardStore::save(uint uid, const UserState &state, QString *error) const
{
    const QString folder = m_folder + QLatin1Char('/') + QString::number(uid);
    if (!makePrivateFolder(folder, error))
        return false;
    QSaveFile file(folder + QLatin1String("/state.json"));
    if (!file.open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString());
        return false;
    }
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    file.write(encode(state));
    if (!file.commit()) {
        *error = QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString());
        return false;
    }
    return true;
}

QByteArray GuardStore::encode(const UserState &state)
{
    QJsonArray programs;
    for (const ProgramRule &rule : state.programs) {
        programs.append(QJsonObject{
                {QLatin1String("id"), rule.id},
                {QLatin1String("path"), rule.path},
                {QLatin1String("device"), QString::number(rule.device)},
                {QLatin1String("inode"), QString::number(rule.inode)},
                {QLatin1String("size"), double(rule.size)},
                {QLatin1String("buildId"), QString::fromLatin1(rule.buildId.toHex())},
                {QLatin1String("sha256"), QString::fromLatin1(rule.sha256.toHex())},
        });
    }
    QJsonObject object{{QLatin1String("version"), 1},
                       {QLatin1String("blocking"), state.blocking},
                       {QLatin1String("programs"), programs}};
    if (state.session)
        object.insert(QLatin1String("session"), state.session->encode());
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

std::optional<UserState> GuardStore::decode(const QByteArray &bytes)
{
    const std::optional<QJsonValue> value = StrictJson::parse(bytes);
    if (!value || !value->isObject()
        || !value->toObject().value(QLatin1String("blocking")).isBool())
        return std::nullopt;
    const QJsonObject object = value->toObject();
    UserState state;
    state.blocking = object.value(QLatin1String("blocking")).toBool();
    if (const QJsonValue session = object.value(QLatin1String("session")); session.isObject())
        state.session = GuardSession::decode(session.toObject());
    const QJsonArray programs = object.value(QLatin1String("programs")).toArray();
    for (const QJsonValue &entry : programs) {
        const QJsonObject program = entry.toObject();
        ProgramRule rule;
        rule.id = program.value(QLatin1String("id")).toString();
        rule.path = program.value(QLatin1String("path")).toString();
        rule.device = program.value(QLatin1String("device")).toString().toULongLong();
        rule.inode = program.value(QLatin1String("inode")).toString().toULongLong();
        rule.size = qint64(program.value(QLatin1String("size")).toDouble(-1));
        rule.buildId = QByteArray::fromHex(
                program.value(QLatin1String("buildId")).toString().toLatin1());
        rule.sha256
                = QByteArray::fromHex(program.value(QLatin1String("sha256")).toString().toLatin1());
        if (!rule.id.isEmpty())
            state.programs.append(rule);
    }
    return state;
}
