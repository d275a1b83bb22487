#pragma once

#include "runningapplication.h"

#include <QByteArray>
#include <QList>

class IdentityTracker;
class ProcessTable;
class ProcessTerminator;
class ProcReader;

// Ends the rest of an application whose root has just been killed: every descendant that shares
// its identifier (helpers, fork children), and none of another application it started. Each
// descendant is stopped before its own children are read, and all are killed at the end, so none
// is handed to a new parent unseen.
class TreeKiller
{
public:
    TreeKiller(ProcessTable &table, IdentityTracker &tracker, const ProcReader &reader,
               const ProcessTerminator &terminator);

    // rootChildren: the root's children as read just before it died; scope: the root's
    // application unit when it was announced (empty when none), whose other processes of the
    // application go too.
    void killHelpers(const RunningApplication &application, const QList<qint64> &rootChildren,
                     const QByteArray &scope);

private:
    ProcessTable &m_table;
    IdentityTracker &m_tracker;
    const ProcReader &m_reader;
    const ProcessTerminator &m_terminator;
    qint64 m_selfPid = 0;
};
