#pragma once

#include <QString>
#include <QStringList>

// The program files of a Flatpak or a Snap as deployed on this computer. Its sandbox runs them
// under other paths (/app/bin/...), so no entry's Exec= names them, but they are the same files:
// a doorbell on them rings at each launch of the application.
namespace DeployedPrograms {

struct Roots
{
    QStringList flatpakInstallations; // each holding app/<id>/current/active/files/
    QString snaps; // holding <name>/current/
};

// $XDG_DATA_HOME/flatpak and /var/lib/flatpak; /snap.
Roots defaultRoots();

// The executable files of the Flatpak whose ID is bundleID (in files/bin/ and the command its
// metadata names), or of the Snap that a bundle identifier <name>_<app> names (in bin/, usr/bin/
// and the commands of meta/snap.yaml); canonical paths, empty when it is neither.
QStringList forBundleID(const QString &bundleID, const Roots &roots = defaultRoots());

} // namespace DeployedPrograms
