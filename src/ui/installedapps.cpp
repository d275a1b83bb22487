#include "installedapps.h"

#include "appiconprovider.h"
#include "installedapp.h"

#include <QVariantMap>

QVariantList InstalledApps::scan() const
{
    QVariantList rows;
    const QList<InstalledApp> apps = loadInstalledApps();
    rows.reserve(apps.size());
    for (const InstalledApp &app : apps)
        rows.append(
                QVariantMap{{QStringLiteral("id"), app.id},
                            {QStringLiteral("name"), app.name},
                            {QStringLiteral("iconPath"), app.iconPath},
                            {QStringLiteral("iconSource"), AppIconProvider::urlFor(app.iconPath)}});
    return rows;
}
