#pragma once

#include <QHashFunctions>
#include <QString>

// One application installed on this computer, as the applications seam reports it.
struct InstalledApp
{
    QString id; // bundle identifier: on Linux the desktop-file ID without ".desktop"
    QString name; // display name, shown verbatim
    // The platform's name for its icon: a theme icon name or an absolute file path; empty when it
    // names none (the picker then shows a generic application icon).
    QString icon;

    friend bool operator==(const InstalledApp &a, const InstalledApp &b) { return a.id == b.id; }
};

inline size_t qHash(const InstalledApp &app, size_t seed = 0)
{
    return qHash(app.id, seed);
}
