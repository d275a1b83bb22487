#pragma once

#include <QHashFunctions>
#include <QList>
#include <QString>
#include <QStringList>

// One application installed on this computer, found by loadInstalledApps().
struct InstalledApp
{
    QString id; // bundle identifier: the desktop-file ID without ".desktop"
    QString name; // display name, shown verbatim
    QString iconPath; // full path of the desktop entry; the picker asks the workspace for its icon

    friend bool operator==(const InstalledApp &a, const InstalledApp &b) { return a.id == b.id; }
};

inline size_t qHash(const InstalledApp &app, size_t seed = 0)
{
    return qHash(app.id, seed);
}

// The folders scanned, in order: $XDG_DATA_HOME/applications, then each
// $XDG_DATA_DIRS/*/applications (defaults ~/.local/share and /usr/local/share:/usr/share).
QStringList applicationFolders();

// Scans applicationFolders() (first level only) and returns one record per distinct bundle
// identifier, sorted by name with a locale-aware, case-insensitive, stable comparison. Never
// fails: unreadable folders and malformed entries are skipped silently.
QList<InstalledApp> loadInstalledApps();
QList<InstalledApp> loadInstalledApps(const QStringList &folders);
