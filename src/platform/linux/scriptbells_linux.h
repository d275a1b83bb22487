#pragma once

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

class ProcReader;

// The doorbells of launcher scripts. An entry's script that execs a watched program of another
// entry (UXTerm's script and xterm) makes that process the script's entry's application, but
// shows it only while the script runs, often for less than a millisecond. When the first look at
// a process comes too late to see the script, a ring of the script's bell since the process
// started tells it.
//
// Limit of the unprivileged path: a launcher script named by an entry that execs a binary no
// entry names within a millisecond is identified only if a scan falls inside that millisecond
// (the doorbell's close watch makes that likely, not certain). A binary the script execs by a
// literal absolute path is indexed as the application's (ApplicationIndex), so only one reached
// through a variable depends on that look. Launched from a desktop, such an application is
// identified anyway by its systemd scope or its launch environment.
class ScriptBells
{
public:
    explicit ScriptBells(const ProcReader &reader);

    // The scripts that have a bell, with the watched programs each execs.
    void setTargets(const QHash<QString, QSet<QString>> &targets) { m_targets = targets; }
    bool isEmpty() const { return m_targets.isEmpty(); }
    void noteRings(const QStringList &opened);
    // The script whose bell rang lately, not before startTime, and that execs program; the ring
    // is used up. Empty when none.
    QString takeScript(quint64 startTime, const QString &program);

private:
    const ProcReader &m_reader;
    QHash<QString, QSet<QString>> m_targets;
    QHash<QString, quint64> m_rings; // when their bells rang (ticks since boot)
};
