#pragma once

#include <QObject>
#include <QVariantList>
#include <QtQml/qqmlregistration.h>

// The application catalogue as the picker sees it: scan() runs loadInstalledApps() and returns the
// records as JavaScript objects {id, name, iconPath, iconSource}, in the catalogue's order;
// iconSource is the row's image URL from the application-icon provider.
class InstalledApps : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    using QObject::QObject;

    Q_INVOKABLE QVariantList scan() const;
};
