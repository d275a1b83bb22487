#include "processconnector_linux.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include <arpa/inet.h>
#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/filter.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

ProcessConnector::ProcessConnector(QObject *parent)
    : QObject(parent)
{
}

ProcessConnector::~ProcessConnector()
{
    if (m_socket >= 0) {
        sendListen(false);
        ::close(m_socket);
    }
}

bool ProcessConnector::sendListen(bool listen)
{
    // nlmsghdr, then cn_msg, then the operation, packed back to back.
    constexpr size_t size = NLMSG_LENGTH(sizeof(cn_msg) + sizeof(proc_cn_mcast_op));
    alignas(nlmsghdr) char request[size];
    std::memset(request, 0, sizeof request);
    auto *header = reinterpret_cast<nlmsghdr *>(request);
    header->nlmsg_len = size;
    header->nlmsg_type = NLMSG_DONE;
    auto *message = static_cast<cn_msg *>(NLMSG_DATA(header));
    message->id.idx = CN_IDX_PROC;
    message->id.val = CN_VAL_PROC;
    message->len = sizeof(proc_cn_mcast_op);
    const proc_cn_mcast_op op = listen ? PROC_CN_MCAST_LISTEN : PROC_CN_MCAST_IGNORE;
    std::memcpy(request + NLMSG_LENGTH(sizeof(cn_msg)), &op, sizeof op);
    return ::send(m_socket, request, size, 0) == ssize_t(size);
}

bool ProcessConnector::open()
{
    if (m_socket >= 0)
        return true;
    m_socket = ::socket(PF_NETLINK, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_CONNECTOR);
    if (m_socket < 0)
        return false;
    sockaddr_nl address;
    std::memset(&address, 0, sizeof address);
    address.nl_family = AF_NETLINK;
    address.nl_groups = CN_IDX_PROC;
    address.nl_pid = 0;
    if (::bind(m_socket, reinterpret_cast<sockaddr *>(&address), sizeof address) < 0
        || !sendListen(true)) {
        ::close(m_socket);
        m_socket = -1;
        return false;
    }
    // Only execs and process forks (not new threads) are of use; the kernel drops the rest
    // before they wake this thread. Classic BPF loads words in network byte order.
    constexpr uint32_t dataOffset = NLMSG_LENGTH(0) + offsetof(cn_msg, data);
    constexpr uint32_t whatOffset = dataOffset + offsetof(proc_event, what);
    constexpr uint32_t childPidOffset
            = dataOffset + offsetof(proc_event, event_data.fork.child_pid);
    constexpr uint32_t childTgidOffset
            = dataOffset + offsetof(proc_event, event_data.fork.child_tgid);
    sock_filter code[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, whatOffset),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, htonl(proc_event::PROC_EVENT_EXEC), 5, 0),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, htonl(proc_event::PROC_EVENT_FORK), 0, 5),
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, childTgidOffset),
            BPF_STMT(BPF_MISC | BPF_TAX, 0),
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, childPidOffset),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_X, 0, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, 0xffffffff),
            BPF_STMT(BPF_RET | BPF_K, 0),
    };
    const sock_fprog filter{sizeof code / sizeof code[0], code};
    ::setsockopt(m_socket, SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter);
    // A bigger buffer rides out bursts of execs while the thread is busy.
    const int size = 1 << 20;
    ::setsockopt(m_socket, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    m_notifier = new QSocketNotifier(m_socket, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &ProcessConnector::readEvents);
    return true;
}

void ProcessConnector::readEvents()
{
    alignas(nlmsghdr) char buffer[8192];
    for (;;) {
        const ssize_t n = ::recv(m_socket, buffer, sizeof buffer, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == ENOBUFS) {
                Q_EMIT eventsLost();
                continue;
            }
            return; // EAGAIN: drained
        }
        if (n == 0)
            return;
        int remaining = int(n);
        for (auto *header = reinterpret_cast<nlmsghdr *>(buffer); NLMSG_OK(header, remaining);
             header = NLMSG_NEXT(header, remaining)) {
            if (header->nlmsg_type == NLMSG_OVERRUN) {
                Q_EMIT eventsLost();
                continue;
            }
            if (header->nlmsg_type != NLMSG_DONE
                || header->nlmsg_len < NLMSG_LENGTH(sizeof(cn_msg) + sizeof(proc_event)))
                continue;
            const auto *message = static_cast<const cn_msg *>(NLMSG_DATA(header));
            if (message->id.idx != CN_IDX_PROC || message->id.val != CN_VAL_PROC)
                continue;
            proc_event event;
            std::memcpy(&event, message->data, sizeof event);
            if (event.what == proc_event::PROC_EVENT_EXEC)
                Q_EMIT executed(event.event_data.exec.process_tgid);
            else if (event.what == proc_event::PROC_EVENT_FORK
                     && event.event_data.fork.child_pid == event.event_data.fork.child_tgid)
                Q_EMIT forked(event.event_data.fork.parent_tgid, event.event_data.fork.child_tgid);
        }
    }
}
