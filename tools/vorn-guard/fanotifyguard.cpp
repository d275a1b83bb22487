#include "fanotifyguard.h"

#include "programfile.h"

#include <QFile>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/fanotify.h>
#include <unistd.h>

namespace {

constexpr int workerCount = 2;
constexpr size_t maxJobs = 256;
constexpr qsizetype maxCache = 4096;
constexpr qsizetype maxOutput = 1024;

struct Uids
{
    uint real = 0;
    uint effective = 0;
};

// The "Uid:" line of /proc/<pid>/status: real, effective, saved, file system.
std::optional<Uids> uidsOf(qint64 pid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%lld/status", static_cast<long long>(pid));
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    char buffer[2048];
    const ssize_t length = ::read(fd, buffer, sizeof buffer - 1);
    ::close(fd);
    if (length <= 0)
        return std::nullopt;
    buffer[length] = '\0';
    const char *line = std::strstr(buffer, "\nUid:");
    Uids uids;
    if (!line || std::sscanf(line + 5, "%u %u", &uids.real, &uids.effective) != 2)
        return std::nullopt;
    return uids;
}

} // namespace

struct FanotifyGuard::Job
{
    int fd = -1;
    qint64 pid = 0;
    Uids uids;
    FileKey key;
    bool needsDigest = false;
    std::shared_ptr<const GuardRules> rules;
    Clock::time_point deadline;
    std::atomic<bool> answered{false};
};

FanotifyGuard::FanotifyGuard(std::chrono::milliseconds bound)
    : m_bound(bound)
    , m_stopFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    , m_wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    , m_selfPid(::getpid())
    , m_rules(std::make_shared<GuardRules>())
{
}

FanotifyGuard::~FanotifyGuard()
{
    if (m_fanotifyFd >= 0)
        ::close(m_fanotifyFd);
    ::close(m_stopFd);
    ::close(m_wakeFd);
}

bool FanotifyGuard::open(QString *error)
{
    m_fanotifyFd
            = ::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY | O_LARGEFILE | O_CLOEXEC);
    if (m_fanotifyFd < 0) {
        *error = QStringLiteral("fanotify is not available: %1")
                         .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    return true;
}

bool FanotifyGuard::mark(const QString &mountPoint, QString *error)
{
    if (::fanotify_mark(m_fanotifyFd, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, FAN_OPEN_EXEC_PERM,
                        AT_FDCWD, QFile::encodeName(mountPoint).constData())
        == 0)
        return true;
    *error = QString::fromLocal8Bit(std::strerror(errno));
    return false;
}

void FanotifyGuard::setRules(std::shared_ptr<const GuardRules> rules)
{
    std::lock_guard lock(m_rulesMutex);
    m_rules = std::move(rules);
}

void FanotifyGuard::start()
{
    m_answerThread = std::thread([this] { answerLoop(); });
    for (int i = 0; i < workerCount; ++i)
        m_workers.emplace_back([this] { workerLoop(); });
}

bool FanotifyGuard::stop()
{
    {
        std::lock_guard lock(m_jobsMutex);
        m_stopping = true;
    }
    m_jobsChanged.notify_all();
    const quint64 one = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_stopFd, &one, sizeof one);
    if (m_answerThread.joinable())
        m_answerThread.join();
    // A worker still reading a slow file system is left to the process's exit.
    const Clock::time_point until = Clock::now() + 2 * m_bound;
    while (m_busy > 0 && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const bool joined = m_busy == 0;
    for (std::thread &worker : m_workers) {
        if (joined)
            worker.join();
        else
            worker.detach();
    }
    m_workers.clear();
    return joined;
}

void FanotifyGuard::take(QList<Refusal> *refusals, QStringList *notes)
{
    quint64 count = 0;
    [[maybe_unused]] const ssize_t done = ::read(m_wakeFd, &count, sizeof count);
    std::lock_guard lock(m_outputMutex);
    refusals->append(std::exchange(m_refusals, {}));
    notes->append(std::exchange(m_notes, {}));
}

void FanotifyGuard::answerLoop()
{
    alignas(struct fanotify_event_metadata) char buffer[16384];
    for (;;) {
        int timeout = -1;
        const Clock::time_point now = Clock::now();
        while (!m_waiting.empty()
               && (m_waiting.front()->answered || m_waiting.front()->deadline <= now)) {
            Job &job = *m_waiting.front();
            if (!job.answered.exchange(true)) {
                answer(job.fd, true);
                note(QStringLiteral("bound"),
                     QStringLiteral("allowed an exec not identified within %1 ms")
                             .arg(m_bound.count()));
            }
            m_waiting.pop_front();
        }
        if (!m_waiting.empty())
            timeout = int(
                    std::chrono::ceil<std::chrono::milliseconds>(m_waiting.front()->deadline - now)
                            .count());
        struct pollfd fds[2] = {{m_fanotifyFd, POLLIN, 0}, {m_stopFd, POLLIN, 0}};
        if (::poll(fds, 2, timeout) < 0) {
            if (errno == EINTR)
                continue;
            note(QStringLiteral("poll"),
                 QStringLiteral("poll failed: %1")
                         .arg(QString::fromLocal8Bit(std::strerror(errno))));
            return;
        }
        if (fds[1].revents)
            break;
        if (!(fds[0].revents & POLLIN))
            continue;
        const ssize_t length = ::read(m_fanotifyFd, buffer, sizeof buffer);
        if (length <= 0) {
            if (length < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            note(QStringLiteral("read"),
                 QStringLiteral("reading fanotify events failed: %1")
                         .arg(QString::fromLocal8Bit(std::strerror(errno))));
            continue;
        }
        auto *event = reinterpret_cast<struct fanotify_event_metadata *>(buffer);
        ssize_t left = length;
        for (; FAN_EVENT_OK(event, left); event = FAN_EVENT_NEXT(event, left)) {
            if (event->vers != FANOTIFY_METADATA_VERSION) {
                note(QStringLiteral("version"),
                     QStringLiteral("fanotify metadata of an unknown version"));
                if (event->fd >= 0) {
                    answer(event->fd, true);
                    ::close(event->fd);
                }
                continue;
            }
            if (event->fd < 0)
                continue;
            if (event->mask & FAN_OPEN_EXEC_PERM)
                handle(event->fd, event->pid);
            else
                ::close(event->fd);
        }
    }
    // Stopping: whatever still waits is allowed now; the workers close their fds.
    for (const std::shared_ptr<Job> &job : m_waiting) {
        if (!job->answered.exchange(true))
            answer(job->fd, true);
    }
    m_waiting.clear();
}

void FanotifyGuard::handle(int fd, qint64 pid)
{
    std::shared_ptr<const GuardRules> rules;
    {
        std::lock_guard lock(m_rulesMutex);
        rules = m_rules;
    }
    const auto allow = [&] {
        answer(fd, true);
        ::close(fd);
    };
    if (rules->isEmpty() || pid == m_selfPid)
        return allow();
    const std::optional<Uids> uids = uidsOf(pid);
    if (!uids || !rules->appliesTo(uids->real, uids->effective))
        return allow();
    const std::optional<FileKey> key = ProgramFile::keyOf(fd, true);
    if (!key) {
        note(QStringLiteral("statx"),
             QStringLiteral("cannot read the attributes of an exec'd file: %1")
                     .arg(QString::fromLocal8Bit(std::strerror(errno))));
        return allow();
    }
    std::optional<FileContent> cached;
    {
        std::lock_guard lock(m_cacheMutex);
        if (const auto it = m_cache.constFind(*key); it != m_cache.cend())
            cached = *it;
    }
    GuardRules::Decision decision
            = rules->decide(uids->real, uids->effective, *key, cached ? &*cached : nullptr);
    if (decision.verdict != GuardRules::Verdict::ReadContent) {
        const bool allowed = decision.verdict == GuardRules::Verdict::Allow;
        answer(fd, allowed);
        if (!allowed)
            refused(decision.uid, decision.id, fd, pid);
        ::close(fd);
        return;
    }
    auto job = std::make_shared<Job>();
    job->fd = fd;
    job->pid = pid;
    job->uids = *uids;
    job->key = *key;
    job->needsDigest = decision.needsDigest;
    job->rules = std::move(rules);
    job->deadline = Clock::now() + m_bound;
    {
        std::lock_guard lock(m_jobsMutex);
        if (m_jobs.size() >= maxJobs) {
            note(QStringLiteral("jobs"),
                 QStringLiteral("too many programs waiting to be read; allowing new ones"));
            return allow();
        }
        m_jobs.push_back(job);
    }
    m_jobsChanged.notify_one();
    m_waiting.push_back(std::move(job));
}

void FanotifyGuard::workerLoop()
{
    for (;;) {
        std::shared_ptr<Job> job;
        {
            std::unique_lock lock(m_jobsMutex);
            m_jobsChanged.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
            if (m_jobs.empty())
                return;
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
            ++m_busy;
        }
        // Read to the end even past the deadline (within a longer one), so that the next exec of
        // this file finds its content in the cache.
        const std::optional<FileContent> content = ProgramFile::contentOf(
                job->fd, job->key.size, job->needsDigest, job->deadline + 10 * m_bound);
        GuardRules::Decision decision;
        if (content) {
            {
                std::lock_guard lock(m_cacheMutex);
                if (m_cache.size() >= maxCache)
                    m_cache.clear();
                m_cache.insert(job->key, *content);
            }
            decision = job->rules->decide(job->uids.real, job->uids.effective, job->key, &*content);
        }
        finish(*job, decision);
        ::close(job->fd);
        --m_busy;
    }
}

void FanotifyGuard::finish(Job &job, const GuardRules::Decision &decision)
{
    // Another ReadContent (a digest after all) cannot happen: contentOf read it when the size
    // called for it. Anything but a refusal is an allow.
    const bool allowed = decision.verdict != GuardRules::Verdict::Deny;
    if (job.answered.exchange(true))
        return;
    answer(job.fd, allowed);
    if (!allowed)
        refused(decision.uid, decision.id, job.fd, job.pid);
}

void FanotifyGuard::answer(int fd, bool allow)
{
    const struct fanotify_response response
    {
        fd, __u32(allow ? FAN_ALLOW : FAN_DENY)
    };
    if (::write(m_fanotifyFd, &response, sizeof response) != sizeof response)
        note(QStringLiteral("answer"),
             QStringLiteral("answering an exec failed: %1")
                     .arg(QString::fromLocal8Bit(std::strerror(errno))));
}

void FanotifyGuard::refused(uint uid, const QString &id, int fd, qint64 pid)
{
    {
        std::lock_guard lock(m_outputMutex);
        if (m_refusals.size() < maxOutput)
            m_refusals.append(Refusal{uid, id, ProgramFile::pathOf(fd), pid});
    }
    wake();
}

void FanotifyGuard::note(const QString &kind, const QString &text)
{
    {
        std::lock_guard lock(m_outputMutex);
        if (m_notedKinds.contains(kind) || m_notes.size() >= maxOutput)
            return;
        m_notedKinds.insert(kind);
        m_notes.append(text);
    }
    wake();
}

void FanotifyGuard::wake()
{
    const quint64 one = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_wakeFd, &one, sizeof one);
}
