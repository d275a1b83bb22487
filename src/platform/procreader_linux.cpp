#include "procreader_linux.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Large enough for any environment or command line worth reading; more is cut off.
constexpr qsizetype readLimit = 1 << 20;
constexpr unsigned long kernelThreadFlag = 0x00200000; // PF_KTHREAD

QByteArray readFile(const QByteArray &path, qsizetype limit = readLimit)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    QByteArray data;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        data.append(buffer, n);
        if (data.size() >= limit)
            break;
    }
    ::close(fd);
    return data;
}

std::optional<qint64> parseNumber(const QByteArray &text)
{
    bool ok = false;
    const qint64 value = text.trimmed().toLongLong(&ok);
    return ok ? std::optional<qint64>(value) : std::nullopt;
}

} // namespace

ProcReader::ProcReader(const QString &root)
    : m_root(root.toLocal8Bit())
{
    while (m_root.size() > 1 && m_root.endsWith('/'))
        m_root.chop(1);
}

QByteArray ProcReader::path(qint64 pid, const char *file) const
{
    QByteArray result = m_root;
    result += '/';
    result += QByteArray::number(pid);
    result += '/';
    result += file;
    return result;
}

QString ProcReader::link(qint64 pid, const char *file) const
{
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink(path(pid, file).constData(), buffer, sizeof buffer);
    if (n <= 0 || n >= ssize_t(sizeof buffer))
        return {};
    return QString::fromLocal8Bit(buffer, n);
}

std::optional<ProcReader::Stat> ProcReader::parseStat(const QByteArray &text)
{
    // "pid (comm) state ppid ...": comm may hold spaces and parentheses, so fields are counted
    // from the last ')'.
    const qsizetype open = text.indexOf('(');
    const qsizetype close = text.lastIndexOf(')');
    if (open < 0 || close < open)
        return std::nullopt;
    const QList<QByteArray> fields = text.mid(close + 2).split(' ');
    // fields[0] is the state (field 3), so field N is fields[N - 3].
    if (fields.size() < 20)
        return std::nullopt;
    bool ppidOk = false, flagsOk = false, startOk = false;
    Stat stat;
    stat.parentPid = fields[1].toLongLong(&ppidOk);
    const unsigned long flags = fields[6].toULong(&flagsOk);
    stat.startTime = fields[19].toULongLong(&startOk);
    if (!ppidOk || !flagsOk || !startOk)
        return std::nullopt;
    stat.isKernelThread = flags & kernelThreadFlag;
    stat.name = text.mid(open + 1, close - open - 1);
    return stat;
}

std::optional<ProcReader::Status> ProcReader::parseStatus(const QByteArray &text)
{
    Status status;
    bool haveTgid = false, haveUid = false;
    for (const QByteArray &line : text.split('\n')) {
        if (line.startsWith("Tgid:")) {
            const auto tgid = parseNumber(line.mid(5));
            if (!tgid)
                return std::nullopt;
            status.threadGroupID = *tgid;
            haveTgid = true;
        } else if (line.startsWith("Uid:")) {
            const QList<QByteArray> uids = line.mid(4).simplified().split(' ');
            bool realOk = false, effectiveOk = false;
            if (uids.size() < 2)
                return std::nullopt;
            status.realUid = uids[0].toUInt(&realOk);
            status.effectiveUid = uids[1].toUInt(&effectiveOk);
            if (!realOk || !effectiveOk)
                return std::nullopt;
            haveUid = true;
        }
        if (haveTgid && haveUid)
            return status;
    }
    return std::nullopt;
}

std::optional<QByteArray> ProcReader::environmentValue(const QByteArray &environment,
                                                       const QByteArray &name)
{
    const QByteArray prefix = name + '=';
    for (const QByteArray &entry : environment.split('\0')) {
        if (entry.startsWith(prefix))
            return entry.mid(prefix.size());
    }
    return std::nullopt;
}

std::optional<ProcReader::Stat> ProcReader::stat(qint64 pid) const
{
    return parseStat(readFile(path(pid, "stat"), 4096));
}

std::optional<ProcReader::Status> ProcReader::status(qint64 pid) const
{
    return parseStatus(readFile(path(pid, "status"), 16384));
}

QString ProcReader::executable(qint64 pid) const
{
    QString target = link(pid, "exe");
    static const QString deleted = QStringLiteral(" (deleted)");
    if (target.endsWith(deleted))
        target.chop(deleted.size());
    return target;
}

QString ProcReader::workingFolder(qint64 pid) const
{
    return link(pid, "cwd");
}

QByteArrayList ProcReader::commandLine(qint64 pid) const
{
    QByteArray data = readFile(path(pid, "cmdline"));
    if (data.endsWith('\0'))
        data.chop(1);
    if (data.isEmpty())
        return {};
    return data.split('\0');
}

QByteArray ProcReader::environment(qint64 pid) const
{
    return readFile(path(pid, "environ"));
}

QByteArray ProcReader::cgroup(qint64 pid) const
{
    return readFile(path(pid, "cgroup"), 65536);
}

QByteArray ProcReader::flatpakInfo(qint64 pid) const
{
    return readFile(path(pid, "root/.flatpak-info"), 65536);
}

qint64 ProcReader::lastPid() const
{
    // "0.35 0.22 0.11 3/112 6759"
    const QByteArray text = readFile(m_root + "/loadavg", 256).trimmed();
    const qsizetype space = text.lastIndexOf(' ');
    if (space < 0)
        return -1;
    return parseNumber(text.mid(space + 1)).value_or(-1);
}

qint64 ProcReader::pidMax() const
{
    return parseNumber(readFile(m_root + "/sys/kernel/pid_max", 64)).value_or(4194304);
}

quint64 ProcReader::ticksSinceBoot() const
{
    const QByteArray text = readFile(m_root + "/uptime", 256);
    bool ok = false;
    const double seconds = text.left(text.indexOf(' ')).toDouble(&ok);
    return ok && seconds > 0 ? quint64(seconds * double(::sysconf(_SC_CLK_TCK))) : 0;
}

QList<qint64> ProcReader::pids() const
{
    QList<qint64> result;
    DIR *dir = ::opendir(m_root.constData());
    if (!dir)
        return result;
    while (const dirent *entry = ::readdir(dir)) {
        const char *name = entry->d_name;
        if (*name < '1' || *name > '9')
            continue;
        char *end = nullptr;
        const long long pid = std::strtoll(name, &end, 10);
        if (end && *end == '\0')
            result.append(pid);
    }
    ::closedir(dir);
    return result;
}
