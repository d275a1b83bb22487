#pragma once

#include "applicationindex_linux.h"

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

struct ApplicationIndex::Contents
{
    QHash<QString, QList<Candidate>> candidates; // by canonical program path
    QHash<QString, QStringList> programsForBundleID;
    QSet<QString> bundleIDs;
    QHash<QString, QStringList> scriptsExecuting;
    QHash<QString, QSet<QString>> bundleIDsForWindowClass;
    friend bool operator==(const Contents &, const Contents &) = default;
};

// Reads the application entries of folders into an index's contents. Touches nothing shared: runs
// on any thread.
ApplicationIndex::Contents buildApplicationIndex(const QStringList &folders);
