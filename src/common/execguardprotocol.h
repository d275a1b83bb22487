#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// The messages between a user's Vorn and the exec guard (vorn-guard), one JSON object per
// SOCK_SEQPACKET datagram on /run/vorn-guard.socket. Every message has a "type"; a reader ignores
// members and types it does not know, so that later messages can carry more.
//
//   Vorn -> guard
//   {"type":"state","blocking":true,"programs":[{"id":"org.x.App","path":"/usr/bin/x"}]}
//                  whether this user blocks and the programs of the blocked applications; sent at
//                  connection and whenever either changes. The guard takes the user from the
//                  socket's peer credentials, never from the message.
//   Vorn -> guard  {"type":"record","key":"syncedBlockState","json":"{...}","deviceID":"..."}
//                  a record as Vorn received it from the store ("syncedBlockState" or
//                  "blockSchedule", its JSON text unchanged) and this computer's identifier; sent
//                  at connection and whenever one changes. Once a user's Vorn forwarded one, the
//                  guard times that user's sessions by itself and the records, not "blocking",
//                  decide whether it refuses.
//   Vorn -> guard  {"type":"pair","publicKey":"<base64 SPKI>","recoverySalt":"<base64>",
//                  "recoveryHash":"<base64>"}, {"type":"unpair","fingerprint":"3F9A-..."},
//                  {"type":"recover","code":"..."}
//                  the phones paired at this computer: the guard then takes only records a paired
//                  phone signed, newer than the last it took. Pairing and unpairing are refused
//                  while the guard blocks for this user; the status answers with "phones".
//   guard -> Vorn  {"type":"status","enforcing":true,"blocking":true,"programs":12}
//                  at connection (the state the guard holds for this user) and after each state
//                  it applied; "programs" counts the programs it identified.
//   guard -> Vorn  {"type":"refused","id":"org.x.App","path":"/home/u/bin/x","pid":4242}
//                  an exec by this user's process that the guard refused.
namespace ExecGuardProtocol {

constexpr qsizetype maxMessageSize = 1 << 20;

struct Program
{
    QString id;
    QString path;
    friend bool operator==(const Program &, const Program &) = default;
};

struct State
{
    bool blocking = false;
    QList<Program> programs;
    friend bool operator==(const State &, const State &) = default;
};

struct Record
{
    QString key;
    QByteArray json;
    QString deviceID;
    friend bool operator==(const Record &, const Record &) = default;
};

struct Pairing
{
    QString type; // "pair", "unpair" or "recover"
    QByteArray publicKey; // SPKI DER
    QByteArray recoverySalt;
    QByteArray recoveryHash;
    QString fingerprint;
    QString code;
    friend bool operator==(const Pairing &, const Pairing &) = default;
};

struct Status
{
    bool enforcing = false;
    bool blocking = false;
    int programs = 0;
    int phones = 0; // paired with the guard
};

struct Refusal
{
    QString id;
    QString path;
    qint64 pid = 0;
};

QByteArray encode(const State &state);
QByteArray encode(const Record &record);
QByteArray encode(const Pairing &pairing);
QByteArray encode(const Status &status);
QByteArray encode(const Refusal &refusal);

// Nothing when the message is not of that type or a member it needs is missing or mistyped.
// Programs without a non-empty id and an absolute path are left out of a state.
std::optional<State> decodeState(const QByteArray &message);
std::optional<Record> decodeRecord(const QByteArray &message);
std::optional<Pairing> decodePairing(const QByteArray &message);
std::optional<Status> decodeStatus(const QByteArray &message);
std::optional<Refusal> decodeRefusal(const QByteArray &message);

} // namespace ExecGuardProtocol
