#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <optional>

// A per-user secret store holding generic-password items addressed by service and account.
//
// Promises:
// - find() returns the item's bytes, or nothing when there is no item or the store cannot be
//   read right now; it never prompts the user and never blocks for more than about a second.
// - remove() and add() report nothing: a caller that needs to know reads the item back.
// - Every call may come from any thread.
class Keychain : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    virtual std::optional<QByteArray> find(const QString &service, const QString &account) = 0;
    virtual void remove(const QString &service, const QString &account) = 0;
    virtual void add(const QString &service, const QString &account, const QByteArray &data) = 0;
};
