#pragma once

#include "appidentityresolver_linux.h"
#include "processtable_linux.h"
#include "runningapplication.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class ApplicationIndex;
class LearnedPrograms;
class ProcReader;
class ProgramIdentityMatcher;
class ScriptBells;

// Decides which application each process of a ProcessTable belongs to, and which processes are
// the roots of an application's tree. A process takes the identifier its own evidence gives
// (AppIdentityResolver); one without any belongs to the application of the parent it was born
// under, even when it has been handed to a new parent since; an exec that leaves a process
// unnamed keeps the identifier it had, and one named by its own evidence keeps it through later
// execs. A root is a process whose identifier differs from its parent's, or whose parent is not
// ours (another user, PID 1, a kernel thread). It also learns the programs an application's own
// program execs that nothing names.
//
// A program that nothing names may be a renamed copy of a blocked application's program: while
// a matcher is active, its content is compared with theirs on another thread
// (ProgramIdentityMatcher), and a match names the process a moment later, as its own evidence
// would have.
class IdentityTracker
{
public:
    struct Hooks
    {
        // Notes the doorbell rings still queued before a script's ring is looked for.
        // for.
        std::function<void()> takeQueuedRings;
        // A program was learned as an application's.
        std::function<void()> learned;
    };

    IdentityTracker(ProcessTable &table, const ProcReader &reader, const ApplicationIndex &index,
                    LearnedPrograms &learned, ScriptBells &bells, Hooks hooks);

    // The process's identifier, deciding it and those of its undecided ancestors; none for a
    // process that is not this user's or not there.
    std::optional<QString> identity(qint64 pid);
    bool isRoot(qint64 pid);
    // The process has run execve: its own evidence is read again.
    void noticeExec(qint64 pid);
    // The safety net's look at its own evidence; false while it is inside an execve.
    bool recheck(qint64 pid);
    // The installed applications changed: a process nothing named may be named now.
    void applicationsChanged();
    // Children read from a root while it was stopped were born under it, whatever parent the
    // kill handed them to before this tracker first saw them.
    void bornUnder(const RunningApplication &root, const QList<qint64> &children);
    // Compares the programs nothing names; null (the default) compares none.
    void setContentMatcher(ProgramIdentityMatcher *matcher) { m_matcher = matcher; }
    // The matcher has just become active: the programs of the processes decided so far.
    void lookAtAllContent();
    // The matcher named the process: it and what it started since, not named otherwise, are
    // decided again, and it is noted. False when it is gone or already known as that.
    bool namedByContent(qint64 pid, quint64 startTime, const QString &bundleID);
    // An announced root, for a fork child met only after that root ended.
    void rememberRoot(qint64 pid, const QString &bundleID);

private:
    struct Root
    {
        qint64 pid = 0;
        quint64 startTime = 0;
        QByteArray name;
        QString executable;
        QString bundleID;
    };

    void decide(qint64 pid);
    QString ownIdentity(qint64 pid, const std::optional<AppIdentityResolver::Program> &running);
    void learn(const QString &previous, const QString &current, const QString &bundleID);
    void lookAtContent(qint64 pid, const QString &program);
    QString inheritedIdentity(qint64 pid) const;
    std::optional<QString> parentIdentity(qint64 pid);
    std::optional<Root> endedLookalikeRoot(qint64 pid) const;

    ProcessTable &m_table;
    const ProcReader &m_reader;
    const ApplicationIndex &m_index;
    LearnedPrograms &m_learned;
    ScriptBells &m_bells;
    AppIdentityResolver m_resolver;
    Hooks m_hooks;
    ProgramIdentityMatcher *m_matcher = nullptr;
    QSet<QString> m_searchPath; // canonical PATH folders: shared programs, never learned
    QList<Root> m_recentRoots; // the last roots announced, newest last
};
