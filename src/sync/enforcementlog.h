#pragma once

#include <QByteArray>
#include <QString>

class SystemLog;

// The enforcement's only output: one line per closed application, "Blocking " followed by its
// bundle identifier, written to the system log and to standard error, or to the system log only
// when standard error already goes there.
namespace EnforcementLog {

// The line as written, without a newline, the identifier escaped as PrintableText does, so that
// one closed application is one line.
QByteArray lineFor(const QString &bundleID);

// systemLog may be null: then standard error only.
void blocking(SystemLog *systemLog, const QString &bundleID);
// Any other line of the blocker's (a session's end, a held-back state), written the same way.
void line(SystemLog *systemLog, const QByteArray &line);

} // namespace EnforcementLog
