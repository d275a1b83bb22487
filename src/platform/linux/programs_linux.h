#pragma once

#include <QString>
#include <QStringList>

// What every program is, whatever application runs it: launchers and interpreters run other
// programs and belong to no application.
namespace Programs {

QString baseName(const QString &path);
// Programs that start other applications (env, flatpak, snap, xdg-open, gtk-launch, sudo, ...).
bool isLauncher(const QString &name);
// Shells, python, perl, ruby, node, lua, tcl, gjs; a version suffix is ignored (python3.11).
bool isInterpreter(const QString &name);
// A launcher or an interpreter, by the name of the file at path.
bool isShared(const QString &path);
// The path with every symbolic link resolved; empty when it does not exist.
QString canonicalPath(const QString &path);
// For a command line whose first argument is an interpreter, the index of the script argument it
// runs; -1 when the program is not an interpreter or runs no script file (sh -c, python -m,
// perl -e, reading standard input, ...).
qsizetype scriptArgumentIndex(const QStringList &arguments);

} // namespace Programs
