#include "execdoorbell_linux.h"

#include "inotify_linux.h"

#include <QSocketNotifier>
#include <QTimer>

#include <unistd.h>

namespace {

// A package upgrade replaces a program file; watching the new one waits until it has settled.
constexpr int rearmDelayMs = 500;

} // namespace

ExecDoorbell::ExecDoorbell(QObject *parent)
    : QObject(parent)
    , m_rearm(new QTimer(this))
{
    m_rearm->setSingleShot(true);
    m_rearm->setInterval(rearmDelayMs);
    connect(m_rearm, &QTimer::timeout, this, &ExecDoorbell::arm);
    m_inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_inotify >= 0) {
        m_notifier = new QSocketNotifier(m_inotify, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &ExecDoorbell::readEvents);
    }
}

ExecDoorbell::~ExecDoorbell()
{
    if (m_inotify >= 0)
        ::close(m_inotify);
}

void ExecDoorbell::setPrograms(const QStringList &paths)
{
    m_programs = paths;
    m_programs.removeDuplicates();
    arm();
}

void ExecDoorbell::arm()
{
    if (m_inotify < 0)
        return;
    for (auto it = m_watches.cbegin(); it != m_watches.cend(); ++it)
        ::inotify_rm_watch(m_inotify, it.key());
    m_watches.clear();
    bool missing = false;
    for (const QString &path : std::as_const(m_programs)) {
        const int watch = ::inotify_add_watch(m_inotify, path.toLocal8Bit().constData(),
                                              IN_OPEN | IN_DELETE_SELF | IN_MOVE_SELF);
        if (watch >= 0)
            m_watches.insert(watch, path);
        else
            missing = true;
    }
    // A program that is missing now may be mid-replacement; look again a little later. Programs
    // that never appear cost one failed call per period.
    if (missing)
        m_rearm->start(rearmDelayMs * 20);
}

void ExecDoorbell::readEvents()
{
    const Openings openings = takeOpenings();
    if (openings.any)
        Q_EMIT rang(openings.programs);
}

ExecDoorbell::Openings ExecDoorbell::takeOpenings()
{
    Openings openings;
    if (m_inotify < 0)
        return openings;
    bool lostWatch = false;
    Inotify::forEachEvent(m_inotify, [&](const inotify_event &event, const QByteArray &) {
        if (event.mask & (IN_OPEN | IN_Q_OVERFLOW))
            openings.any = true;
        if ((event.mask & IN_OPEN) && m_watches.contains(event.wd))
            openings.programs.append(m_watches.value(event.wd));
        // IN_IGNORED also follows our own removals in arm(); only a watch still in use counts.
        if ((event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED))
            && m_watches.contains(event.wd))
            lostWatch = true;
    });
    if (lostWatch && !m_rearm->isActive())
        m_rearm->start(rearmDelayMs);
    return openings;
}
