#pragma once

#include "installedapp.h"

#include <QList>
#include <QObject>

// The applications installed on this computer, with their names and icons.
//
// Promises:
// - installedApplications() lists what is installed now, read afresh at each call, in the
//   platform's order of precedence: where two records share an identifier, the first one is the
//   application (the catalogue keeps it and drops the rest). The order carries no other meaning.
// - It never fails: what cannot be read is left out. It may be called from any thread.
class Applications : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    virtual QList<InstalledApp> installedApplications() const = 0;
};
