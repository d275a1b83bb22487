#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <optional>

// This user's local preferences on this computer: typed values by key.
//
// Promises:
// - boolForKey() is false when the key is absent; other stored kinds convert the way the platform
//   does (a number is true when non-zero, a string when it reads as a true value).
// - stringArrayForKey() yields nothing when the key is absent or its value is not an array made
//   only of strings.
// - Writes replace one key atomically and keep every other key, known or not, as it was.
// - Every call may come from any thread; reads and writes never report errors.
class UserDefaults : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    virtual bool boolForKey(const QString &key) const = 0;
    virtual void setBool(bool value, const QString &key) = 0;
    virtual std::optional<QStringList> stringArrayForKey(const QString &key) const = 0;
    virtual void setStringArray(const QStringList &value, const QString &key) = 0;
};
