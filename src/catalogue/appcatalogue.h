#pragma once

#include "installedapp.h"

#include <QList>

class Applications;

// The application catalogue the picker lists: one record per identifier, sorted by name.
namespace AppCatalogue {

// The records in order: the first record of each identifier wins (the seam reports them in the
// platform's order of precedence), then a stable, locale-aware, case-insensitive sort by name.
QList<InstalledApp> arrange(QList<InstalledApp> apps);

// arrange() over what the platform reports installed now.
QList<InstalledApp> load(const Applications &applications);

} // namespace AppCatalogue
