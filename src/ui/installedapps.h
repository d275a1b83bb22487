#pragma once

#include <QObject>
#include <QVariantList>
#include <QtQml/qqmlregistration.h>

class Applications;

// The application catalogue as the picker sees it: scan() arranges what the applications seam
// reports (AppCatalogue::load) and returns the records as JavaScript objects {id, name, icon,
// iconSource}, in the catalogue's order; iconSource is the row's image URL from the
// application-icon provider.
class InstalledApps : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    using QObject::QObject;

    // The application shell hands over the platform's applications before it loads a view; they
    // outlive the engines.
    static void setApplications(Applications *applications) { s_applications = applications; }

    Q_INVOKABLE QVariantList scan() const;

private:
    static inline Applications *s_applications = nullptr;
};
