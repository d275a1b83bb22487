#pragma once

#include "userdefaults.h"

#include <QHash>
#include <QVariant>

// User defaults in memory: a bool or a string list per key, as stored. Conversions between kinds
// are the platform's business (its own suite tests them).
class FakeUserDefaults : public UserDefaults
{
public:
    bool boolForKey(const QString &key) const override { return values.value(key).toBool(); }
    void setBool(bool value, const QString &key) override { values.insert(key, value); }
    std::optional<QStringList> stringArrayForKey(const QString &key) const override
    {
        const QVariant value = values.value(key);
        if (value.typeId() != QMetaType::QStringList)
            return std::nullopt;
        return value.toStringList();
    }
    void setStringArray(const QStringList &value, const QString &key) override
    {
        values.insert(key, value);
    }

    QHash<QString, QVariant> values;
};
