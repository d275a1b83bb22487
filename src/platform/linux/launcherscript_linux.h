#pragma once

#include <QString>
#include <QStringList>

// What an application's launcher script runs, read from the script without running it.
namespace LauncherScript {

// The programs that a shell script execs by an absolute path, literal or built from the script's
// own fixed variables (`exec /opt/app/bin/app "$@"`, `exec $LIBDIR/$APPNAME`): canonical paths of
// executable files, never a launcher or an interpreter. Empty for anything but a shell script.
QStringList execTargets(const QString &scriptPath);

} // namespace LauncherScript
