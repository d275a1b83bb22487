#pragma once

#include "execguardprotocol.h"
#include "processgroups.h"

#include <QByteArray>
#include <QProcess>
#include <QString>

#include <optional>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/fanotify.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

// A real vorn-guard for tests and the benchmark: started as a child with its socket and state
// folder in a temporary folder, ready once it notified as systemd expects; and the user's side,
// played by forked children that take another uid.
namespace GuardFixture {

// Empty when this process can run the guard: root, and a kernel that gives permission events.
inline QString unavailableReason()
{
    if (::geteuid() != 0)
        return QStringLiteral("the exec guard needs root");
    const int fd = ::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY);
    if (fd < 0)
        return QStringLiteral("fanotify permission events unavailable: %1")
                .arg(QString::fromLocal8Bit(std::strerror(errno)));
    ::close(fd);
    return {};
}

// Runs path as uid (real, effective and saved; no groups) and waits for it; the errno of its
// execve, 0 when it ran.
inline int execAs(uint uid, const QByteArray &path, const QByteArray &argument = {})
{
    int channel[2];
    if (::pipe2(channel, O_CLOEXEC) != 0)
        return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        char *const argv[] = {
                const_cast<char *>(path.constData()),
                argument.isEmpty() ? nullptr : const_cast<char *>(argument.constData()), nullptr};
        int error = 0;
        if (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0
            || ::setresuid(uid, uid, uid) != 0)
            error = -2;
        else
            ::execv(path.constData(), argv);
        error = error ? error : errno;
        [[maybe_unused]] const ssize_t written = ::write(channel[1], &error, sizeof error);
        ::_exit(127);
    }
    ::close(channel[1]);
    int error = 0;
    if (::read(channel[0], &error, sizeof error) != sizeof error)
        error = 0;
    ::close(channel[0]);
    ::waitpid(pid, nullptr, 0);
    return error;
}

// Connects to the guard as uid, sends the messages (records, say) and then the state, and returns
// the status the guard answers the state.
inline std::optional<ExecGuardProtocol::Status> sendState(uint uid, const QString &socketPath,
                                                          const ExecGuardProtocol::State &state,
                                                          QList<QByteArray> messages = {})
{
    messages.append(ExecGuardProtocol::encode(state));
    const QByteArray path = QFile::encodeName(socketPath);
    int channel[2];
    if (::pipe2(channel, O_CLOEXEC) != 0)
        return std::nullopt;
    const pid_t pid = ::fork();
    if (pid == 0) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
        char reply[4096];
        ssize_t length = -1;
        const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
        if (::setgroups(0, nullptr) == 0 && ::setresgid(uid, uid, uid) == 0
            && ::setresuid(uid, uid, uid) == 0
            && ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
            && ::recv(fd, reply, sizeof reply, 0) > 0) { // the status at connection
            for (const QByteArray &message : messages) {
                length = -1;
                if (::send(fd, message.constData(), size_t(message.size()), 0) == message.size())
                    length = ::recv(fd, reply, sizeof reply, 0);
            }
        }
        if (length > 0) [[maybe_unused]]
            const ssize_t written = ::write(channel[1], reply, size_t(length));
        ::_exit(0);
    }
    ::close(channel[1]);
    QByteArray reply(4096, '\0');
    const ssize_t length = ::read(channel[0], reply.data(), size_t(reply.size()));
    ::close(channel[0]);
    ::waitpid(pid, nullptr, 0);
    return length > 0 ? ExecGuardProtocol::decodeStatus(reply.left(length)) : std::nullopt;
}

class Guard
{
public:
    // folder: a folder others can enter (for the socket); environment: more VAR=value.
    explicit Guard(const QString &folder, const QStringList &environment = {})
        : m_folder(folder)
        , m_environment(environment)
    {
    }

    QString socketPath() const { return m_folder + QStringLiteral("/guard.socket"); }
    QString stateFolder() const { return m_folder + QStringLiteral("/state"); }

    // Starts the guard and waits for READY=1; false (with the guard's output) when it failed.
    bool start(QString *output)
    {
        const QString notifyPath = m_folder + QStringLiteral("/notify");
        QFile::remove(notifyPath);
        const int notify = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray path = QFile::encodeName(notifyPath);
        std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
        ::bind(notify, reinterpret_cast<sockaddr *>(&address), sizeof address);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("VORN_GUARD_SOCKET"), socketPath());
        environment.insert(QStringLiteral("VORN_GUARD_STATE_DIR"), stateFolder());
        environment.insert(QStringLiteral("NOTIFY_SOCKET"), notifyPath);
        for (const QString &variable : m_environment)
            environment.insert(variable.section(QLatin1Char('='), 0, 0),
                               variable.section(QLatin1Char('='), 1));
        m_process = &m_groups.keep();
        m_process->setProcessEnvironment(environment);
        m_process->setProcessChannelMode(QProcess::MergedChannels);
        bool ready = m_groups.start(*m_process, QStringLiteral(VORN_BINARY_DIR "/vorn-guard"), {});
        pollfd fd{notify, POLLIN, 0};
        char message[256] = {};
        ready = ready && ::poll(&fd, 1, 20000) == 1
                && ::recv(notify, message, sizeof message - 1, 0) > 0
                && QByteArray(message).contains("READY=1");
        ::close(notify);
        if (!ready) {
            m_process->waitForReadyRead(100);
            *output = QString::fromLocal8Bit(m_process->readAll());
        }
        return ready;
    }

    // SIGTERM, as systemd stops it; the exit status, -1 when it did not exit within 10 s.
    int stop()
    {
        m_process->terminate();
        if (!m_process->waitForFinished(10000))
            return -1;
        return m_process->exitStatus() == QProcess::NormalExit ? m_process->exitCode() : -1;
    }
    QString output() { return QString::fromLocal8Bit(m_process->readAll()); }
    void kill() { m_groups.killAll(); }

private:
    QString m_folder;
    QStringList m_environment;
    ProcessGroups m_groups;
    QProcess *m_process = nullptr;
};

} // namespace GuardFixture
