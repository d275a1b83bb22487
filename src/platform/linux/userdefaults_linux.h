#pragma once

#include "userdefaults.h"

#include <QJsonValue>
#include <QMutex>
#include <QString>

// User defaults kept as one JSON object in a file (normally ~/.config/vorn/defaults.json).
//
// Every read goes to the file, so a change made by another process is seen at once; a file that
// cannot be read or decoded reads as empty. Every write reads the object, changes one key and
// replaces the file atomically (mode 0600), keeping all other keys. When the existing file cannot
// be decoded, it is first moved aside to "<file>.corrupt-<UTC time>" so that nothing is lost
// silently; a link or other non-file in its place is moved aside, never followed; a file that
// exists but cannot be read (permissions, over maxFileBytes) is never replaced. Temporary files of
// writers that were killed are removed at construction.
//
// boolForKey() converts like the platform's defaults: a JSON boolean as is; a number is true when
// non-zero; a string is true when, ignoring surrounding white space and case, it is "yes" or
// "true", or an integer other than zero ("1", "-2", "007"); anything else is false.
class LinuxUserDefaults : public UserDefaults
{
    Q_OBJECT

public:
    // Files larger than this are not decoded.
    static constexpr qint64 maxFileBytes = 4 * 1024 * 1024;

    explicit LinuxUserDefaults(const QString &filePath);

    bool boolForKey(const QString &key) const override;
    void setBool(bool value, const QString &key) override;
    std::optional<QStringList> stringArrayForKey(const QString &key) const override;
    void setStringArray(const QStringList &value, const QString &key) override;

    static bool boolFromString(const QString &text);

private:
    void setValue(const QString &key, const QJsonValue &value);

    const QString m_filePath;
    mutable QMutex m_mutex;
};
