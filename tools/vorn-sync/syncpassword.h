#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// The broker password, kept only in the Secret Service (service "com.zumbra.vorn.sync",
// account "<user>@<broker host>"): `secret-tool lookup service com.zumbra.vorn.sync account
// alice@broker.example` finds it. Never written to a file.
namespace SyncPassword {

enum class Status { Ok, NoItem, Unavailable };

struct Lookup
{
    Status status = Status::Unavailable;
    QByteArray password;
};

Lookup find(const QString &account);
bool store(const QString &account, const QByteArray &password);

} // namespace SyncPassword
