// Implementation notes
//
// Building runs on a thread of its own (applicationindexbuilder_linux.cpp); the finished content
// is swapped in on the index's thread, so lookups never wait for a rebuild.
//
// Watching: one inotify descriptor. Each existing folder is watched for entries appearing,
// disappearing, being renamed or rewritten; a folder that does not exist yet is represented by a
// watch on its nearest existing ancestor that reacts only to the next component on the way down,
// so busy folders such as ~/.local/share cost nothing. Watches are re-armed before every rebuild,
// so a change during a rebuild leads to another one. If inotify cannot be used, the folders are
// re-scanned every few seconds instead.

#include "applicationindex_linux.h"

#include "applicationindexbuilder_linux.h"
#include "inotify_linux.h"
#include "programs_linux.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>

#include <sys/inotify.h>
#include <unistd.h>

namespace {

constexpr int debounceMs = 200;
constexpr int pollFallbackMs = 5000;
constexpr uint32_t watchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE
        | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

} // namespace

ApplicationIndex::ApplicationIndex(const QStringList &folders, QObject *parent)
    : QObject(parent)
    , m_folders(folders)
    , m_debounce(new QTimer(this))
    , m_poll(new QTimer(this))
{
    m_debounce->setSingleShot(true);
    m_debounce->setInterval(debounceMs);
    connect(m_debounce, &QTimer::timeout, this, &ApplicationIndex::rebuild);
    m_poll->setInterval(pollFallbackMs);
    connect(m_poll, &QTimer::timeout, this, &ApplicationIndex::rebuild);

    m_inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_inotify >= 0) {
        m_notifier = new QSocketNotifier(m_inotify, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this,
                &ApplicationIndex::readNotifications);
    }
    watchFolders();
    m_contents = std::make_shared<const Contents>(buildApplicationIndex(m_folders));
}

ApplicationIndex::~ApplicationIndex()
{
    // The builder's result, posted to this object, is dropped with it.
    if (m_builder.joinable())
        m_builder.join();
    if (m_inotify >= 0) {
        delete m_notifier;
        ::close(m_inotify);
    }
}

const QList<ApplicationIndex::Candidate> *
ApplicationIndex::candidatesFor(const QString &absolutePath) const
{
    auto found = m_contents->candidates.constFind(absolutePath);
    if (found != m_contents->candidates.cend())
        return &*found;
    // The kernel names a replaced executable (after an upgrade) "<path> (deleted)"; the program
    // at that path is still the same application's.
    static const QLatin1String deleted(" (deleted)");
    if (absolutePath.endsWith(deleted))
        found = m_contents->candidates.constFind(absolutePath.chopped(deleted.size()));
    else if (const QString canonical = Programs::canonicalPath(absolutePath);
             !canonical.isEmpty() && canonical != absolutePath)
        found = m_contents->candidates.constFind(canonical);
    return found != m_contents->candidates.cend() ? &*found : nullptr;
}

QString ApplicationIndex::bundleIDForProgram(const QString &absolutePath) const
{
    const QList<Candidate> *candidates = candidatesFor(absolutePath);
    return candidates && candidates->size() == 1 ? candidates->constFirst().bundleID : QString();
}

bool ApplicationIndex::namesProgram(const QString &absolutePath) const
{
    return candidatesFor(absolutePath) != nullptr;
}

QString ApplicationIndex::bundleIDForCommand(const QString &absolutePath,
                                             const QStringList &arguments) const
{
    const QList<Candidate> *candidates = candidatesFor(absolutePath);
    if (!candidates)
        return {};
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        QString windowClass;
        if ((arguments[i] == QLatin1String("-class") || arguments[i] == QLatin1String("--class"))
            && i + 1 < arguments.size())
            windowClass = arguments[i + 1];
        else if (arguments[i].startsWith(QLatin1String("--class=")))
            windowClass = arguments[i].mid(8);
        else
            continue;
        const QSet<QString> owners = m_contents->bundleIDsForWindowClass.value(windowClass);
        if (owners.size() == 1)
            return *owners.cbegin();
        break;
    }
    if (candidates->size() == 1)
        return candidates->constFirst().bundleID;

    // The entries whose Exec= arguments the process was given, those with the most of them first.
    QList<const Candidate *> best;
    qsizetype bestCount = -1;
    for (const Candidate &candidate : *candidates) {
        const bool given = std::all_of(candidate.arguments.cbegin(), candidate.arguments.cend(),
                                       [&](const QString &a) { return arguments.contains(a); });
        if (!given || candidate.arguments.size() < bestCount)
            continue;
        if (candidate.arguments.size() > bestCount)
            best.clear();
        bestCount = candidate.arguments.size();
        best.append(&candidate);
    }
    if (best.size() == 1)
        return best.constFirst()->bundleID;

    // No argument tells them apart: the entry named after the program, else the one that runs it
    // without options; never a guess between equals.
    const QString name = absolutePath.mid(absolutePath.lastIndexOf(QLatin1Char('/')) + 1)
                                 .remove(QLatin1String(" (deleted)"));
    const auto pickOne = [&best](const auto &test) {
        const Candidate *picked = nullptr;
        for (const Candidate *candidate : std::as_const(best)) {
            if (!test(*candidate))
                continue;
            if (picked)
                return static_cast<const Candidate *>(nullptr);
            picked = candidate;
        }
        return picked;
    };
    const Candidate *picked = pickOne([&name](const Candidate &c) {
        const QString last = c.bundleID.mid(c.bundleID.lastIndexOf(QLatin1Char('.')) + 1);
        return c.bundleID.compare(name, Qt::CaseInsensitive) == 0
                || last.compare(name, Qt::CaseInsensitive) == 0
                || c.windowClass.compare(name, Qt::CaseInsensitive) == 0;
    });
    if (!picked)
        picked = pickOne([](const Candidate &c) { return !c.hasOptions; });
    return picked ? picked->bundleID : QString();
}

bool ApplicationIndex::isSharedProgram(const QString &absolutePath)
{
    return Programs::isShared(absolutePath);
}

QStringList ApplicationIndex::programsForBundleID(const QString &bundleID) const
{
    return m_contents->programsForBundleID.value(bundleID);
}

QStringList ApplicationIndex::scriptsExecuting(const QString &program) const
{
    return m_contents->scriptsExecuting.value(program);
}

bool ApplicationIndex::hasApplication(const QString &bundleID) const
{
    return m_contents->bundleIDs.contains(bundleID);
}

QString ApplicationIndex::scriptArgument(const QStringList &arguments)
{
    const qsizetype at = Programs::scriptArgumentIndex(arguments);
    return at < 0 ? QString() : arguments.at(at);
}

qsizetype ApplicationIndex::scriptArgumentIndex(const QStringList &arguments)
{
    return Programs::scriptArgumentIndex(arguments);
}

void ApplicationIndex::rebuild()
{
    watchFolders();
    if (m_building) {
        m_buildAgain = true;
        return;
    }
    m_building = true;
    if (m_builder.joinable())
        m_builder.join();
    m_builder = std::thread([this, folders = m_folders] {
        auto contents = std::make_shared<const Contents>(buildApplicationIndex(folders));
        QMetaObject::invokeMethod(
                this, [this, contents] { swapIn(contents); }, Qt::QueuedConnection);
    });
}

void ApplicationIndex::swapIn(const std::shared_ptr<const Contents> &contents)
{
    m_building = false;
    const bool differs = *contents != *m_contents;
    m_contents = contents;
    if (differs)
        Q_EMIT changed();
    if (std::exchange(m_buildAgain, false))
        rebuild();
}

void ApplicationIndex::watchFolders()
{
    if (m_inotify < 0) {
        m_poll->start();
        return;
    }
    for (auto it = m_watches.cbegin(); it != m_watches.cend(); ++it)
        ::inotify_rm_watch(m_inotify, it.key());
    m_watches.clear();

    bool complete = true;
    for (const QString &folder : m_folders) {
        const Inotify::AncestorWatch placed = Inotify::watchPathOrAncestor(
                m_inotify, QFile::encodeName(QDir::cleanPath(folder)), watchMask, watchMask);
        if (placed.wd < 0) {
            complete = false;
            continue;
        }
        // Folders can share an ancestor, or be one another's, and then share a descriptor.
        Watch &watch = m_watches[placed.wd];
        if (placed.next.isEmpty())
            watch.isFolder = true;
        else
            watch.towards.append(placed.next);
    }
    // Without a watch on every folder (no such folder at all, or the inotify limit reached),
    // changes there are found by looking again every few seconds.
    if (!complete)
        m_poll->start();
    else
        m_poll->stop();
}

void ApplicationIndex::readNotifications()
{
    bool relevant = false;
    Inotify::forEachEvent(m_inotify, [&](const inotify_event &event, const QByteArray &name) {
        const auto watch = m_watches.constFind(event.wd);
        if (event.mask & IN_Q_OVERFLOW)
            relevant = true;
        else if (watch == m_watches.cend())
            return; // a watch removed at the last re-arming
        else if ((event.mask & (IN_DELETE_SELF | IN_MOVE_SELF))
                 || (watch->isFolder && name.endsWith(".desktop")) || watch->towards.contains(name))
            relevant = true;
    });
    if (relevant && !m_debounce->isActive())
        m_debounce->start(debounceMs);
}
