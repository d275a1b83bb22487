#include "execguardprotocol.h"

#include "strictjson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace ExecGuardProtocol {

namespace {

std::optional<QJsonObject> objectOfType(const QByteArray &message, QLatin1String type)
{
    if (message.size() > maxMessageSize)
        return std::nullopt;
    const std::optional<QJsonValue> value = StrictJson::parse(message);
    if (!value || !value->isObject())
        return std::nullopt;
    QJsonObject object = value->toObject();
    if (object.value(QLatin1String("type")).toString() != type)
        return std::nullopt;
    return object;
}

QByteArray compact(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace

QByteArray encode(const State &state)
{
    QJsonArray programs;
    for (const Program &program : state.programs)
        programs.append(QJsonObject{{QLatin1String("id"), program.id},
                                    {QLatin1String("path"), program.path}});
    return compact(QJsonObject{{QLatin1String("type"), QLatin1String("state")},
                               {QLatin1String("blocking"), state.blocking},
                               {QLatin1String("programs"), programs}});
}

QByteArray encode(const Record &record)
{
    return compact(QJsonObject{{QLatin1String("type"), QLatin1String("record")},
                               {QLatin1String("key"), record.key},
                               {QLatin1String("json"), QString::fromUtf8(record.json)},
                               {QLatin1String("deviceID"), record.deviceID}});
}

QByteArray encode(const Pairing &pairing)
{
    return compact(QJsonObject{
            {QLatin1String("type"), pairing.type},
            {QLatin1String("publicKey"), QString::fromLatin1(pairing.publicKey.toBase64())},
            {QLatin1String("recoverySalt"), QString::fromLatin1(pairing.recoverySalt.toBase64())},
            {QLatin1String("recoveryHash"), QString::fromLatin1(pairing.recoveryHash.toBase64())},
            {QLatin1String("fingerprint"), pairing.fingerprint},
            {QLatin1String("code"), pairing.code}});
}

QByteArray encode(const Status &status)
{
    return compact(QJsonObject{{QLatin1String("type"), QLatin1String("status")},
                               {QLatin1String("enforcing"), status.enforcing},
                               {QLatin1String("blocking"), status.blocking},
                               {QLatin1String("programs"), status.programs},
                               {QLatin1String("phones"), status.phones}});
}

QByteArray encode(const Refusal &refusal)
{
    return compact(QJsonObject{{QLatin1String("type"), QLatin1String("refused")},
                               {QLatin1String("id"), refusal.id},
                               {QLatin1String("path"), refusal.path},
                               {QLatin1String("pid"), double(refusal.pid)}});
}

std::optional<State> decodeState(const QByteArray &message)
{
    const std::optional<QJsonObject> object = objectOfType(message, QLatin1String("state"));
    if (!object || !object->value(QLatin1String("blocking")).isBool())
        return std::nullopt;
    State state;
    state.blocking = object->value(QLatin1String("blocking")).toBool();
    const QJsonArray programs = object->value(QLatin1String("programs")).toArray();
    for (const QJsonValue &value : programs) {
        const QJsonObject program = value.toObject();
        Program entry{program.value(QLatin1String("id")).toString(),
                      program.value(QLatin1String("path")).toString()};
        if (!entry.id.isEmpty() && entry.path.startsWith(QLatin1Char('/')))
            state.programs.append(entry);
    }
    return state;
}

std::optional<Record> decodeRecord(const QByteArray &message)
{
    const std::optional<QJsonObject> object = objectOfType(message, QLatin1String("record"));
    if (!object || !object->value(QLatin1String("key")).isString()
        || !object->value(QLatin1String("json")).isString())
        return std::nullopt;
    return Record{object->value(QLatin1String("key")).toString(),
                  object->value(QLatin1String("json")).toString().toUtf8(),
                  object->value(QLatin1String("deviceID")).toString()};
}

std::optional<Pairing> decodePairing(const QByteArray &message)
{
    std::optional<QJsonObject> object;
    for (const char *type : {"pair", "unpair", "recover"}) {
        if (!object)
            object = objectOfType(message, QLatin1String(type));
    }
    if (!object)
        return std::nullopt;
    const auto bytes = [&object](const char *name) {
        return QByteArray::fromBase64(object->value(QLatin1String(name)).toString().toLatin1());
    };
    return Pairing{object->value(QLatin1String("type")).toString(),
                   bytes("publicKey"),
                   bytes("recoverySalt"),
                   bytes("recoveryHash"),
                   object->value(QLatin1String("fingerprint")).toString(),
                   object->value(QLatin1String("code")).toString()};
}

std::optional<Status> decodeStatus(const QByteArray &message)
{
    const std::optional<QJsonObject> object = objectOfType(message, QLatin1String("status"));
    if (!object || !object->value(QLatin1String("enforcing")).isBool())
        return std::nullopt;
    return Status{object->value(QLatin1String("enforcing")).toBool(),
                  object->value(QLatin1String("blocking")).toBool(),
                  object->value(QLatin1String("programs")).toInt(),
                  object->value(QLatin1String("phones")).toInt()};
}

std::optional<Refusal> decodeRefusal(const QByteArray &message)
{
    const std::optional<QJsonObject> object = objectOfType(message, QLatin1String("refused"));
    if (!object || !object->value(QLatin1String("id")).isString())
        return std::nullopt;
    return Refusal{object->value(QLatin1String("id")).toString(),
                   object->value(QLatin1String("path")).toString(),
                   qint64(object->value(QLatin1String("pid")).toDouble())};
}

} // namespace ExecGuardProtocol
