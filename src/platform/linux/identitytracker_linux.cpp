#include "identitytracker_linux.h"

#include "applicationindex_linux.h"
#include "learnedprograms_linux.h"
#include "procreader_linux.h"
#include "programidentitymatcher_linux.h"
#include "scriptbells_linux.h"

#include <QFileInfo>

#include <utility>

namespace {

constexpr qsizetype maxRecentRoots = 32;

} // namespace

using Identity = ProcessTable::Identity;
using Process = ProcessTable::Process;

IdentityTracker::IdentityTracker(ProcessTable &table, const ProcReader &reader,
                                 const ApplicationIndex &index, LearnedPrograms &learned,
                                 ScriptBells &bells, Hooks hooks)
    : m_table(table)
    , m_reader(reader)
    , m_index(index)
    , m_learned(learned)
    , m_bells(bells)
    , m_resolver(reader, &index, &learned)
    , m_hooks(std::move(hooks))
{
    for (const QString &folder : qEnvironmentVariable("PATH").split(QLatin1Char(':'))
                 + QStringList{"/usr/bin", "/bin", "/usr/sbin", "/sbin", "/usr/local/bin"}) {
        const QString canonical = QFileInfo(folder).canonicalFilePath();
        if (!canonical.isEmpty())
            m_searchPath.insert(canonical);
    }
}

// Deciding it, and those of the undecided processes it was born under, oldest first. A loop,
// never a recursion: a line of unseen ancestors can be as long as the PID space allows.
std::optional<QString> IdentityTracker::identity(qint64 pid)
{
    if (pid <= 0 || !m_table.lookUp(pid))
        return std::nullopt;
    QList<qint64> undecided;
    QSet<qint64> visited;
    for (qint64 at = pid; !visited.contains(at);) {
        visited.insert(at);
        const Process &process = m_table[at];
        if (!process.isOurs || process.identity.source != Identity::Undecided)
            break;
        undecided.append(at);
        const qint64 parentPid = process.birthParentPid;
        const quint64 startTime = process.startTime;
        if (parentPid <= 0 || !m_table.lookUp(parentPid)
            || m_table[parentPid].startTime > startTime)
            break;
        at = parentPid;
    }
    for (auto it = undecided.crbegin(); it != undecided.crend(); ++it)
        decide(*it);
    const Process &process = m_table[pid];
    return process.isOurs ? std::optional(process.identity.bundleID) : std::nullopt;
}

bool IdentityTracker::isRoot(qint64 pid)
{
    const auto id = identity(pid);
    if (!id)
        return false;
    const auto parentID = parentIdentity(pid);
    return !parentID || *parentID != *id;
}

// Decides from the process's own evidence, else from the parent it was born under (decided
// before it).
void IdentityTracker::decide(qint64 pid)
{
    // A parent that exec'd since its last look is looked at again first: its child may show
    // the new image, and the parent's new identifier is the one to compare with.
    // (A shell script that execs another keeps its executable: its name tells the exec.)
    const qint64 parentPid = m_table.value(pid).birthParentPid;
    if (const Process *parent = m_table.find(parentPid);
        parent && parent->isOurs && !parent->executable.isEmpty()) {
        const auto stat = m_reader.stat(parentPid);
        if (stat && stat->startTime == parent->startTime
            && (stat->name != parent->name || m_reader.executable(parentPid) != parent->executable)
            && !m_table.isMidExec(parentPid))
            noticeExec(parentPid);
    }

    // A fork child that has not exec'd yet shows its parent's image: it is the parent's.
    const Process child = m_table[pid];
    const Process *parent = m_table.find(child.birthParentPid);
    const bool sameImage = parent && parent->isOurs && parent->executable == child.executable
            && parent->name == child.name;
    // Born under an application root that has ended since, and handed to a new parent before
    // this first look: a fork child still showing that root's image is part of it.
    if (!sameImage && (!parent || parent->startTime > child.startTime)) {
        if (const std::optional<Root> root = endedLookalikeRoot(pid)) {
            Process &process = m_table[pid];
            process.birthParentPid = root->pid;
            process.birthParentBundleID = root->bundleID;
            process.identity = {Identity::Inherited, root->bundleID};
            return;
        }
    }
    std::optional<AppIdentityResolver::Program> running;
    if (!sameImage)
        running = m_resolver.program(pid);
    // Looked at inside an execve since it was seen: decided without its program for now, and
    // resolved again when the next look sees the new image (a script's exec must meet its bell).
    if (!sameImage && !running) {
        m_table[pid].clearImage();
        m_table.keepYoung(pid);
    }
    const QString own = sameImage ? QString() : ownIdentity(pid, running);
    if (!sameImage)
        lookAtContent(pid, running ? running->path : QString());
    const QString inherited = inheritedIdentity(pid);
    Process &process = m_table[pid];
    process.birthParentBundleID = inherited;
    process.program = running ? running->path : QString();
    process.identity = own.isEmpty() ? Identity{Identity::Inherited, inherited}
                                     : Identity{Identity::Own, own};
}

QString IdentityTracker::ownIdentity(qint64 pid,
                                     const std::optional<AppIdentityResolver::Program> &running)
{
    QString owner;
    if (running && !m_bells.isEmpty()) {
        // A ring still queued counts.
        m_hooks.takeQueuedRings();
        const QString script = m_bells.takeScript(m_table.value(pid).startTime, running->path);
        if (!script.isEmpty())
            owner = m_index.bundleIDForProgram(script);
    }
    return owner.isEmpty() ? m_resolver.bundleID(pid, running) : owner;
}

// Reported by the connector, or seen with a new image.
void IdentityTracker::noticeExec(qint64 pid)
{
    // Read first: a launcher script shows what it is only until its own exec, a moment later.
    const std::optional<AppIdentityResolver::Program> running = m_resolver.program(pid);
    if (m_table.probe(pid, false) != ProcessTable::Probe::Known)
        return; // new to the table: noted already by the probe, or gone, or not a process
    if (!m_table[pid].isOurs)
        return;
    if (const auto stat = m_reader.stat(pid)) {
        Process &process = m_table[pid];
        process.name = stat->name;
        process.parentPid = stat->parentPid;
        process.executable = m_reader.executable(pid);
        // Read inside another execve: that one is looked at again once it has settled.
        if (!running)
            process.clearImage();
    }
    const Identity identity = m_table[pid].identity;
    const QString own = identity.source == Identity::Own ? QString() : ownIdentity(pid, running);
    lookAtContent(pid, running ? running->path : QString());
    const QString previous
            = std::exchange(m_table[pid].program, running ? running->path : QString());
    if (identity.source == Identity::Own) {
        // The launched entry is the application: UXTerm's script execs xterm and stays UXTerm.
        learn(previous, m_table[pid].program, identity.bundleID);
    } else if (!own.isEmpty()) {
        m_table[pid].identity = {Identity::Own, own};
    }
    // An image that nothing names keeps the identifier the process already had.
    m_table.keepYoung(pid);
    m_table.markForSweep(pid);
    m_table.note(pid);
}

bool IdentityTracker::recheck(qint64 pid)
{
    if (m_table[pid].identity.source == Identity::Own)
        return true;
    const std::optional<AppIdentityResolver::Program> running = m_resolver.program(pid);
    if (!running)
        return false;
    if (const QString own = ownIdentity(pid, running); !own.isEmpty())
        m_table[pid].identity = {Identity::Own, own};
    return true;
}

// An application installed while it runs can now be named; a process already named keeps its
// identifier, like it keeps it through an exec.
void IdentityTracker::applicationsChanged()
{
    const QList<qint64> pids = m_table.processes().keys();
    for (const qint64 pid : pids) {
        Process &process = m_table[pid];
        if (process.identity.bundleID.isEmpty())
            process.identity = {};
        if (process.isOurs && process.identity.source != Identity::Own)
            m_table.markForSweep(pid);
    }
}

void IdentityTracker::bornUnder(const RunningApplication &root, const QList<qint64> &children)
{
    for (const qint64 child : children) {
        if (!m_table.lookUp(child))
            continue;
        Process &process = m_table[child];
        if (!process.isOurs || process.startTime < root.startTime
            || process.birthParentPid == root.pid)
            continue;
        process.birthParentPid = root.pid;
        process.birthParentBundleID = root.bundleIdentifier;
        if (process.identity.source != Identity::Own)
            process.identity = {};
    }
}

// A program an application's own program execs, and that no entry names, is remembered as that
// application's (Chromium's script execs /usr/lib/chromium/chromium). Never a program of the
// search path: those are shared tools (uname, dirname) that a script may run as well.
void IdentityTracker::learn(const QString &previous, const QString &current,
                            const QString &bundleID)
{
    if (previous.isEmpty() || current.isEmpty() || previous == current)
        return;
    const bool fromOwnProgram = m_index.programsForBundleID(bundleID).contains(previous)
            || m_learned.bundleIDForProgram(previous) == bundleID;
    if (!fromOwnProgram || m_index.namesProgram(current)
        || ApplicationIndex::isSharedProgram(current)
        || m_searchPath.contains(QFileInfo(current).path()))
        return;
    const QString before = m_learned.bundleIDForProgram(current);
    m_learned.learn(current, bundleID);
    if (m_learned.bundleIDForProgram(current) != before)
        m_hooks.learned();
}

void IdentityTracker::lookAtAllContent()
{
    // The processes not decided yet are compared when they are.
    const QHash<qint64, Process> &processes = m_table.processes();
    for (auto it = processes.cbegin(); it != processes.cend(); ++it)
        lookAtContent(it.key(), it->program);
}

// Programs the index or the learned programs name are known by path; only the others can be
// copies.
void IdentityTracker::lookAtContent(qint64 pid, const QString &program)
{
    if (!m_matcher || !m_matcher->isActive() || program.isEmpty() || m_index.namesProgram(program)
        || !m_learned.bundleIDForProgram(program).isEmpty())
        return;
    const Process *found = m_table.find(pid);
    if (found && found->isOurs && !found->executable.isEmpty())
        m_matcher->lookAt(pid, found->startTime, found->executable);
}

bool IdentityTracker::namedByContent(qint64 pid, quint64 startTime, const QString &bundleID)
{
    const Process *found = m_table.find(pid);
    if (!found || !found->isOurs || found->startTime != startTime
        || found->identity.bundleID == bundleID)
        return false;
    m_table[pid].identity = {Identity::Own, bundleID};
    // What it started before the match takes its identifier again, so it is closed with it.
    QSet<qint64> tree{pid};
    for (bool grew = true; grew;) {
        grew = false;
        const QList<qint64> pids = m_table.processes().keys();
        for (const qint64 at : pids) {
            Process &process = m_table[at];
            if (process.isOurs && process.identity.source == Identity::Inherited
                && process.startTime >= startTime && tree.contains(process.birthParentPid)
                && !tree.contains(at)) {
                process.identity = {};
                tree.insert(at);
                grew = true;
            }
        }
    }
    m_table.note(pid);
    return true;
}

void IdentityTracker::rememberRoot(qint64 pid, const QString &bundleID)
{
    const Process process = m_table.value(pid);
    m_recentRoots.removeIf([pid](const Root &root) { return root.pid == pid; });
    m_recentRoots.append({pid, process.startTime, process.name, process.executable, bundleID});
    if (m_recentRoots.size() > maxRecentRoots)
        m_recentRoots.removeFirst();
}

std::optional<IdentityTracker::Root> IdentityTracker::endedLookalikeRoot(qint64 pid) const
{
    const Process child = m_table.value(pid);
    if (child.executable.isEmpty())
        return std::nullopt;
    for (auto it = m_recentRoots.crbegin(); it != m_recentRoots.crend(); ++it) {
        if (it->pid == pid || it->executable != child.executable || it->name != child.name
            || it->startTime > child.startTime)
            continue;
        const auto stat = m_reader.stat(it->pid);
        if (!stat || stat->hasEnded() || stat->startTime != it->startTime)
            return *it;
    }
    return std::nullopt;
}

// The identity of the process this one was born under; when that one is gone, or its PID names a
// younger process now, the one it had when last seen (empty when never seen).
QString IdentityTracker::inheritedIdentity(qint64 pid) const
{
    const Process child = m_table.value(pid);
    const Process *parent = m_table.find(child.birthParentPid);
    if (!parent || parent->startTime > child.startTime)
        return child.birthParentBundleID.value_or(QString());
    if (!parent->isOurs)
        return {};
    return parent->identity.bundleID;
}

// The identity of the parent the process was born under: a process handed to a new parent when
// its own ended (a launcher's helper, a double-forked crash handler) is still part of the
// application that started it. Nothing when that parent is another user's or unknown.
std::optional<QString> IdentityTracker::parentIdentity(qint64 pid)
{
    const Process child = m_table.value(pid);
    const qint64 parentPid = child.birthParentPid;
    if (parentPid > 0 && !m_table.contains(parentPid))
        m_table.probe(parentPid, false);
    const Process *parent = m_table.find(parentPid);
    if (parent && !parent->isOurs)
        return std::nullopt;
    if (parent && parent->startTime <= child.startTime)
        return identity(parentPid);
    return child.birthParentBundleID; // that parent has gone
}
