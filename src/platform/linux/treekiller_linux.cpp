#include "treekiller_linux.h"

#include "identitytracker_linux.h"
#include "processtable_linux.h"
#include "processterminator_linux.h"
#include "procreader_linux.h"

#include <QHash>
#include <QSet>

#include <utility>

#include <unistd.h>

TreeKiller::TreeKiller(ProcessTable &table, IdentityTracker &tracker, const ProcReader &reader,
                       const ProcessTerminator &terminator)
    : m_table(table)
    , m_tracker(tracker)
    , m_reader(reader)
    , m_terminator(terminator)
    , m_selfPid(::getpid())
{
}

void TreeKiller::killHelpers(const RunningApplication &application,
                             const QList<qint64> &rootChildren, const QByteArray &scope)
{
    // Processes also count as children of the parent they were born under: a helper met after
    // its parent ended.
    QHash<qint64, QList<qint64>> bornUnder;
    const QHash<qint64, ProcessTable::Process> &processes = m_table.processes();
    for (auto it = processes.cbegin(); it != processes.cend(); ++it) {
        if (it->isOurs)
            bornUnder[it->birthParentPid].append(it.key());
    }
    QList<qint64> adopted = rootChildren;
    adopted.removeAll(m_selfPid);
    m_tracker.bornUnder(application, adopted);

    QList<std::pair<qint64, quint64>> tree{{application.pid, application.startTime}};
    QList<std::pair<qint64, quint64>> doomed{tree.constFirst()};
    QSet<qint64> visited{application.pid};
    for (qsizetype i = 0; i < tree.size(); ++i) {
        const auto [parent, parentStart] = tree.at(i);
        QList<qint64> children = bornUnder.value(parent) + m_reader.children(parent);
        if (i == 0)
            children += rootChildren;
        for (const qint64 child : std::as_const(children)) {
            if (child == m_selfPid || visited.contains(child))
                continue;
            visited.insert(child);
            if (!m_table.contains(child)
                && m_table.probe(child, false) == ProcessTable::Probe::Missing)
                continue;
            const ProcessTable::Process process = m_table.value(child);
            if (process.startTime < parentStart || !process.isOurs)
                continue;
            tree.append({child, process.startTime});
            // Another application it started is left running.
            if (m_tracker.identity(child) == application.bundleIdentifier
                && m_terminator.stop(child, process.startTime))
                doomed.append({child, process.startTime});
        }
    }
    // The rest of the application's unit: helpers handed to another parent before they were seen
    // born.
    if (!scope.isEmpty()) {
        const QList<qint64> pids = m_table.processes().keys();
        for (const qint64 pid : pids) {
            const ProcessTable::Process process = m_table.value(pid);
            if (process.isOurs && !visited.contains(pid) && pid != m_selfPid
                && m_tracker.identity(pid) == application.bundleIdentifier
                && m_table.scopeOf(pid) == scope)
                doomed.append({pid, process.startTime});
        }
    }
    for (const auto &[pid, startTime] : std::as_const(doomed))
        m_terminator.kill(pid, startTime);
}
