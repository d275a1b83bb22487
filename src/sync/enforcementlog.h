#pragma once

#include <QByteArray>
#include <QString>

// The enforcement's only output: one line per closed application, "Blocking " followed by its
// bundle identifier, written to the system log and to standard error. Under systemd or a desktop
// launcher standard error is often the journal, which already takes the system log: then the line
// goes to the system log only, so that each closed application is logged once.
namespace EnforcementLog {

// The line as written, without a newline. Control characters, line and paragraph separators and
// the backslash are escaped (\xNN, \u{NNNN}, \\), so that one closed application is one line.
QByteArray lineFor(const QString &bundleID);

// The text with those characters escaped, for any line that shows data from the store.
QString escaped(const QString &text);

// Whether standard error is the journal: systemd names the stream it connects there in
// JOURNAL_STREAM as "<device>:<inode>", which a redirected standard error no longer matches.
bool standardErrorIsJournal();

void blocking(const QString &bundleID);

} // namespace EnforcementLog
