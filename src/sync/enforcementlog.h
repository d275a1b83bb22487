#pragma once

#include <QByteArray>
#include <QString>

// The enforcement's only output: one line per closed application, "Blocking " followed by its
// bundle identifier, written to the system log and to standard error.
namespace EnforcementLog {

// The line as written, without a newline. Control characters, line and paragraph separators and
// the backslash are escaped (\xNN, \u{NNNN}, \\), so that one closed application is one line.
QByteArray lineFor(const QString &bundleID);

void blocking(const QString &bundleID);

} // namespace EnforcementLog
