#include "guardserver.h"

#include "mounttable.h"
#include "programfile.h"
#include "referencedate.h"

#include <QFile>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/fsuid.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr qsizetype maxClients = 64;
constexpr qsizetype maxPrograms = 4096;

void log(const QString &line)
{
    const QByteArray bytes = "vorn-guard: " + line.toUtf8() + '\n';
    [[maybe_unused]] const ssize_t written
            = ::write(STDERR_FILENO, bytes.constData(), size_t(bytes.size()));
}

QString lastError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// sd_notify(3) without libsystemd: one datagram to $NOTIFY_SOCKET ('@' names an abstract socket).
void notifySystemd(const char *message)
{
    const QByteArray path = qgetenv("NOTIFY_SOCKET");
    if (path.isEmpty() || size_t(path.size()) >= sizeof(sockaddr_un::sun_path))
        return;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    if (address.sun_path[0] == '@')
        address.sun_path[0] = '\0';
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    ::sendto(fd, message, std::strlen(message), MSG_NOSIGNAL,
             reinterpret_cast<sockaddr *>(&address),
             socklen_t(offsetof(sockaddr_un, sun_path) + size_t(path.size())));
    ::close(fd);
}

} // namespace

GuardServer::GuardServer(const Options &options)
    : m_options(options)
    , m_store(options.stateFolder)
    , m_guard(std::make_unique<FanotifyGuard>(options.bound))
{
}

GuardServer::~GuardServer()
{
    for (const Client &client : std::as_const(m_clients))
        ::close(client.fd);
    for (const int fd : {m_listenFd, m_mountsFd, m_signalFd}) {
        if (fd >= 0)
            ::close(fd);
    }
}

int GuardServer::run()
{
    QString error;
    if (!m_guard->open(&error) || !m_store.prepare(&error)) {
        log(error);
        return 1;
    }
    QFile bootID(QStringLiteral("/proc/sys/kernel/random/boot_id"));
    if (bootID.open(QIODevice::ReadOnly))
        m_bootID = bootID.read(256).trimmed();
    QStringList errors;
    m_states = m_store.load(&errors);
    for (const QString &text : std::as_const(errors))
        log(text);
    for (UserState &state : m_states) {
        for (ProgramRule &rule : state.programs)
            rule = ProgramFile::refreshed(rule, &m_known);
    }
    settleSessions();
    publishRules();

    m_mountsFd = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    markMounts();
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    m_signalFd = ::signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (m_signalFd < 0 || !listen(&error)) {
        log(m_signalFd < 0 ? QStringLiteral("cannot receive stopSignals: %1").arg(lastError())
                           : error);
        return 1;
    }
    m_guard->start();
    int blocking = 0;
    for (const UserState &state : std::as_const(m_states))
        blocking += state.blocking ? 1 : 0;
    log(QStringLiteral("enforcing on %1 file systems; %2 users blocking")
                .arg(m_markedDevices.size())
                .arg(blocking));
    notifySystemd("READY=1");

    bool running = true;
    while (running) {
        QList<pollfd> fds{{m_signalFd, POLLIN, 0},
                          {m_listenFd, POLLIN, 0},
                          {m_guard->wakeFd(), POLLIN, 0},
                          {m_mountsFd, POLLPRI, 0}};
        for (const Client &client : std::as_const(m_clients))
            fds.append({client.fd, POLLIN, 0});
        const double wait = settleSessions();
        if (::poll(fds.data(), nfds_t(fds.size()), int(std::ceil(wait * 1000)) + 1) < 0) {
            if (errno == EINTR)
                continue;
            log(QStringLiteral("poll failed: %1").arg(lastError()));
            break;
        }
        if (fds[0].revents)
            running = false;
        if (fds[2].revents)
            drainGuard();
        if (fds[3].revents & (POLLPRI | POLLERR))
            markMounts();
        // Clients first, by fd: accept() and receive() may change the list.
        QList<int> ready;
        for (qsizetype i = 4; i < fds.size(); ++i) {
            if (fds[i].revents)
                ready.append(fds[i].fd);
        }
        for (const int fd : std::as_const(ready)) {
            for (Client &client : m_clients) {
                if (client.fd == fd) {
                    receive(client);
                    break;
                }
            }
        }
        m_clients.removeIf([](const Client &client) { return client.fd < 0; });
        if (fds[1].revents)
            accept();
    }

    notifySystemd("STOPPING=1");
    const bool stopped = m_guard->stop();
    drainGuard();
    ::unlink(QFile::encodeName(m_options.socketPath).constData());
    if (!stopped)
        (void)m_guard.release(); // a worker still reads a slow file; the exit ends it
    log(QStringLiteral("stopped"));
    return 0;
}

bool GuardServer::listen(QString *error)
{
    const QByteArray path = QFile::encodeName(m_options.socketPath);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (size_t(path.size()) >= sizeof address.sun_path) {
        *error = QStringLiteral("socket path too long: %1").arg(m_options.socketPath);
        return false;
    }
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    // A socket left by a guard that died is replaced; any other file is not touched.
    struct stat status
    {
    };
    if (::lstat(path.constData(), &status) == 0 && S_ISSOCK(status.st_mode))
        ::unlink(path.constData());
    m_listenFd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_listenFd < 0
        || ::bind(m_listenFd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
        || ::chmod(path.constData(), 0666) != 0 || ::listen(m_listenFd, 16) != 0) {
        *error = QStringLiteral("cannot listen on %1: %2").arg(m_options.socketPath, lastError());
        return false;
    }
    return true;
}

void GuardServer::markMounts()
{
    if (m_mountsFd < 0)
        return;
    QByteArray mountinfo;
    char buffer[65536];
    ::lseek(m_mountsFd, 0, SEEK_SET);
    for (;;) {
        const ssize_t count = ::read(m_mountsFd, buffer, sizeof buffer);
        if (count <= 0)
            break;
        mountinfo.append(buffer, count);
    }
    const QList<MountTable::Mount> mounts = MountTable::markable(mountinfo);
    for (const MountTable::Mount &mount : mounts) {
        if (m_markedDevices.contains(mount.device))
            continue;
        // Marked or not, a superblock is tried once: a file system that refuses a mark (some
        // FUSE ones) is named once in the log, not at each mount change.
        m_markedDevices.insert(mount.device);
        QString error;
        if (!m_guard->mark(mount.mountPoint, &error))
            log(QStringLiteral("cannot watch %1 (%2): %3")
                        .arg(mount.mountPoint, QString::fromUtf8(mount.type), error));
    }
    // A device number unmounted can come back as another file system: forget the gone ones.
    QSet<QByteArray> present;
    for (const MountTable::Mount &mount : mounts)
        present.insert(mount.device);
    m_markedDevices.intersect(present);
}

void GuardServer::accept()
{
    const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0)
        return;
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (m_clients.size() >= maxClients
        || ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
        ::close(fd);
        return;
    }
    m_clients.append(Client{fd, credentials.uid, credentials.gid});
    send(m_clients.last(), statusFor(credentials.uid));
}

void GuardServer::receive(Client &client)
{
    QByteArray message(ExecGuardProtocol::maxMessageSize, Qt::Uninitialized);
    const ssize_t length = ::recv(client.fd, message.data(), size_t(message.size()), MSG_TRUNC);
    if (length < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (length <= 0) {
        ::close(client.fd);
        client.fd = -1;
        return;
    }
    if (length > message.size()) {
        log(QStringLiteral("a message of uid %1 is too long (%2 bytes)")
                    .arg(client.uid)
                    .arg(length));
        return;
    }
    message.truncate(length);
    if (const std::optional<ExecGuardProtocol::State> state
        = ExecGuardProtocol::decodeState(message)) {
        apply(client, *state);
        send(client, statusFor(client.uid));
    } else if (const std::optional<ExecGuardProtocol::Record> record
               = ExecGuardProtocol::decodeRecord(message)) {
        apply(client, *record);
        send(client, statusFor(client.uid));
    } else if (const std::optional<ExecGuardProtocol::Pairing> pairing
               = ExecGuardProtocol::decodePairing(message)) {
        apply(client, *pairing);
        send(client, statusFor(client.uid));
    }
}

void GuardServer::apply(const Client &client, const ExecGuardProtocol::State &state)
{
    const uint uid = client.uid;
    const UserState current = m_states.value(uid);
    const bool byRecords = current.session.has_value();
    const SessionDecision decision = m_decisions.value(uid);
    UserState next = current;
    // With records, "blocking" from the client is only a report: the records decide.
    if (!byRecords)
        next.blocking = state.blocking;
    next.programs.clear();
    // The programs are read only while blocking: a list that is not enforced costs nothing. They
    // are opened with the user's file access (this thread's fsuid and fsgid; the kernel drops the
    // file capabilities meanwhile), so that a user learns nothing of files they cannot read.
    if (state.blocking) {
        ::setfsgid(client.gid);
        ::setfsuid(uid);
        for (const ExecGuardProtocol::Program &program : state.programs) {
            if (next.programs.size() >= maxPrograms)
                break;
            if (const auto rule = ProgramFile::resolve(program.id, program.path, &m_known))
                next.programs.append(*rule);
        }
        ::setfsuid(0);
        ::setfsgid(0);
    }
    if (byRecords) {
        // A client that says "off" leaves the programs the records block; while a lock runs the
        // list only grows.
        if (!state.blocking || (decision.blocking && decision.locked)) {
            for (const ProgramRule &rule : current.programs) {
                if (!state.blocking || !next.programs.contains(rule))
                    next.programs.append(rule);
            }
        }
        if (!state.blocking && decision.blocking && m_said.value(uid, true))
            log(QStringLiteral("uid %1: \"blocking off\" refused: %2")
                        .arg(uid)
                        .arg(decision.lockedUntil
                                     ? QStringLiteral("locked until %1")
                                               .arg(SessionRules::localText(*decision.lockedUntil,
                                                                            readClock()))
                                     : QStringLiteral("the forwarded records say blocking")));
    }
    m_said.insert(uid, state.blocking);
    if (m_states.value(uid) == next && m_states.contains(uid))
        return;
    const bool wasBlocking = current.blocking;
    store(uid, next);
    if (wasBlocking != next.blocking || next.blocking)
        log(QStringLiteral("uid %1: %2, %3 programs")
                    .arg(uid)
                    .arg(next.blocking ? QStringLiteral("blocking")
                                       : QStringLiteral("not blocking"))
                    .arg(next.programs.size()));
    if (m_known.size() > 4 * maxPrograms)
        m_known.clear();
}

void GuardServer::apply(const Client &client, const ExecGuardProtocol::Record &record)
{
    UserState next = m_states.value(client.uid);
    GuardSession session = next.session.value_or(GuardSession());
    QList<QByteArray> lines;
    const bool taken
            = session.receive(record.key, record.json, record.deviceID, readClock(), lines);
    for (const QByteArray &line : std::as_const(lines))
        log(QStringLiteral("uid %1: %2").arg(client.uid).arg(QString::fromUtf8(line)));
    if (!taken) {
        if (lines.isEmpty())
            log(QStringLiteral("uid %1: a forwarded %2 record is not valid; ignored")
                        .arg(client.uid)
                        .arg(record.key.left(64)));
        return;
    }
    next.session = session;
    store(client.uid, next);
    settleSessions();
}

void GuardServer::apply(const Client &client, const ExecGuardProtocol::Pairing &pairing)
{
    UserState next = m_states.value(client.uid);
    // A user whose client alone says "blocking" pairs nothing either.
    if (!next.session && next.blocking) {
        log(QStringLiteral("uid %1: pairing refused while blocking").arg(client.uid));
        return;
    }
    GuardSession session = next.session.value_or(GuardSession());
    QList<QByteArray> lines;
    const SessionClock::Reading now = readClock();
    bool changed = false;
    if (pairing.type == QLatin1String("pair"))
        changed = session.pair(pairing.publicKey, pairing.recoverySalt, pairing.recoveryHash, now,
                               lines);
    else if (pairing.type == QLatin1String("unpair"))
        changed = session.unpair(pairing.fingerprint, now, lines);
    else
        changed = session.recover(pairing.code, m_options.recoveryWait, now, lines);
    for (const QByteArray &line : std::as_const(lines))
        log(QStringLiteral("uid %1: %2").arg(client.uid).arg(QString::fromUtf8(line)));
    if (!changed)
        return;
    next.session = session;
    store(client.uid, next);
    settleSessions();
}

double GuardServer::settleSessions()
{
    const SessionClock::Reading now = readClock();
    double wait = 60;
    QList<std::pair<uint, UserState>> changed;
    for (auto it = m_states.cbegin(); it != m_states.cend(); ++it) {
        if (!it->session)
            continue;
        UserState next = *it;
        QList<QByteArray> lines;
        const SessionDecision decision = next.session->evaluate(now, lines);
        for (const QByteArray &line : std::as_const(lines))
            log(QStringLiteral("uid %1: %2").arg(it.key()).arg(QString::fromUtf8(line)));
        m_decisions.insert(it.key(), decision);
        wait = std::min(wait, decision.nextChange.value_or(wait));
        next.blocking = decision.blocking;
        if (next.blocking != it->blocking)
            log(QStringLiteral("uid %1: %2 by the forwarded records, %3 programs")
                        .arg(it.key())
                        .arg(next.blocking ? QStringLiteral("blocking")
                                           : QStringLiteral("not blocking"))
                        .arg(next.programs.size()));
        if (!(next == *it))
            changed.append({it.key(), next});
    }
    for (const auto &[uid, next] : std::as_const(changed))
        store(uid, next);
    return wait;
}

void GuardServer::store(uint uid, const UserState &next)
{
    const bool rulesChange = m_states.value(uid).blocking != next.blocking
            || m_states.value(uid).programs != next.programs || !m_states.contains(uid);
    m_states.insert(uid, next);
    if (rulesChange)
        publishRules();
    QString error;
    if (!m_store.save(uid, next, &error))
        log(error);
}

SessionClock::Reading GuardServer::readClock() const
{
    timespec boot = {};
    ::clock_gettime(CLOCK_BOOTTIME, &boot);
    return {m_bootID, double(boot.tv_sec) + double(boot.tv_nsec) / 1e9, ReferenceDate::now(),
            QTimeZone::systemTimeZone()};
}

void GuardServer::publishRules()
{
    m_guard->setRules(std::make_shared<const GuardRules>(m_states));
}

void GuardServer::drainGuard()
{
    QList<FanotifyGuard::Refusal> refusals;
    QStringList notes;
    m_guard->take(&refusals, &notes);
    for (const QString &note : std::as_const(notes))
        log(note);
    for (const FanotifyGuard::Refusal &refusal : std::as_const(refusals)) {
        log(QStringLiteral("refused %1 (%2) to pid %3 of uid %4")
                    .arg(refusal.path, refusal.id)
                    .arg(refusal.pid)
                    .arg(refusal.uid));
        const QByteArray message = ExecGuardProtocol::encode(
                ExecGuardProtocol::Refusal{refusal.id, refusal.path, refusal.pid});
        for (const Client &client : std::as_const(m_clients)) {
            if (client.uid == refusal.uid)
                send(client, message);
        }
    }
}

void GuardServer::send(const Client &client, const QByteArray &message)
{
    // A client that does not read loses messages rather than stall the guard.
    ::send(client.fd, message.constData(), size_t(message.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
}

QByteArray GuardServer::statusFor(uint uid) const
{
    const UserState state = m_states.value(uid);
    return ExecGuardProtocol::encode(
            ExecGuardProtocol::Status{true, state.blocking, int(state.programs.size()),
                                      state.session ? int(state.session->phoneCount()) : 0});
}
