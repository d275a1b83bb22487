#pragma once

#include <QByteArray>
#include <QString>

class SystemLog;

// The enforcement's only output: one line per closed application, "Blocking " followed by its
// bundle identifier, written to the system log and to standard error, or to the system log only
// when standard error already goes there.
namespace EnforcementLog {

// The line as written, without a newline. Control characters, line and paragraph separators and
// the backslash are escaped (\xNN, \u{NNNN}, \\), so that one closed application is one line.
QByteArray lineFor(const QString &bundleID);

// The text with those characters escaped, for any line that shows data from the store.
QString escaped(const QString &text);

// systemLog may be null: then standard error only.
void blocking(SystemLog *systemLog, const QString &bundleID);
// Any other line of the blocker's (a session's end, a held-back state), written the same way.
void line(SystemLog *systemLog, const QByteArray &line);

} // namespace EnforcementLog
