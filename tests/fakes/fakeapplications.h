#pragma once

#include "applications.h"

// Installed applications as a list, reported in list order.
class FakeApplications : public Applications
{
public:
    QList<InstalledApp> installedApplications() const override { return apps; }

    QList<InstalledApp> apps;
};
