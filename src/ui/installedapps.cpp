#include "installedapps.h"

#include "appcatalogue.h"
#include "appiconprovider.h"

#include <QVariantMap>

QVariantList InstalledApps::scan() const
{
    // A view without applications is a programming error of whoever loads it.
    Q_ASSERT_X(s_applications, "InstalledApps", "no applications set before loading a view");
    QVariantList rows;
    const QList<InstalledApp> apps = AppCatalogue::load(*s_applications);
    rows.reserve(apps.size());
    for (const InstalledApp &app : apps)
        rows.append(QVariantMap{{QStringLiteral("id"), app.id},
                                {QStringLiteral("name"), app.name},
                                {QStringLiteral("icon"), app.icon},
                                {QStringLiteral("iconSource"), AppIconProvider::urlFor(app.icon)}});
    return rows;
}
