#include "procreader_linux.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

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

template<typename Number> std::optional<Number> parseNumber(const char *begin, const char *end)
{
    Number value{};
    const auto [last, error] = std::from_chars(begin, end, value);
    if (error != std::errc() || last != end || begin == end)
        return std::nullopt;
    return value;
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

ProcReader::~ProcReader()
{
    if (m_loadavg >= 0)
        ::close(m_loadavg);
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
    // from the last ')'. Read several times a second for young processes: no allocations.
    const qsizetype open = text.indexOf('(');
    const qsizetype close = text.lastIndexOf(')');
    if (open < 0 || close < open)
        return std::nullopt;
    // Field 3 (the state) starts two characters after ')'; wanted: 4 (ppid), 9 (flags), 22
    // (start time).
    const char *cursor = text.constData() + close + 2;
    const char *const end = text.constData() + text.size();
    std::optional<qint64> parentPid;
    std::optional<quint64> flags, startTime;
    const char state = cursor < end ? *cursor : 0;
    for (int field = 3; field <= 22 && cursor < end; ++field) {
        const char *fieldEnd = std::find(cursor, end, ' ');
        if (field == 4)
            parentPid = parseNumber<qint64>(cursor, fieldEnd);
        else if (field == 9)
            flags = parseNumber<quint64>(cursor, fieldEnd);
        else if (field == 22)
            startTime = parseNumber<quint64>(cursor, fieldEnd);
        cursor = fieldEnd + 1;
    }
    if (!parentPid || !flags || !startTime)
        return std::nullopt;
    Stat stat;
    stat.parentPid = *parentPid;
    stat.startTime = *startTime;
    stat.isKernelThread = *flags & kernelThreadFlag;
    stat.state = state;
    stat.name = text.mid(open + 1, close - open - 1);
    return stat;
}

std::optional<ProcReader::Status> ProcReader::parseStatus(const QByteArray &text)
{
    // The key at the start of a line: "NStgid:" must not pass for "Tgid:".
    const auto lineValue = [&](const char *key) -> std::pair<const char *, const char *> {
        const qsizetype keyLength = qsizetype(std::strlen(key));
        qsizetype at = 0;
        if (!text.startsWith(key)) {
            at = text.indexOf(QByteArray('\n' + QByteArray(key)));
            if (at < 0)
                return {nullptr, nullptr};
            ++at;
        }
        const char *begin = text.constData() + at + keyLength;
        const char *end = text.constData() + text.size();
        return {begin, std::find(begin, end, '\n')};
    };
    const auto nextNumber = [](const char *&cursor, const char *end) -> std::optional<quint64> {
        while (cursor < end && (*cursor == ' ' || *cursor == '\t'))
            ++cursor;
        const char *numberEnd = cursor;
        while (numberEnd < end && *numberEnd >= '0' && *numberEnd <= '9')
            ++numberEnd;
        const auto value = parseNumber<quint64>(cursor, numberEnd);
        cursor = numberEnd;
        return value;
    };

    auto [tgid, tgidEnd] = lineValue("Tgid:");
    auto [uid, uidEnd] = lineValue("Uid:");
    if (!tgid || !uid)
        return std::nullopt;
    const auto threadGroupID = nextNumber(tgid, tgidEnd);
    const auto realUid = nextNumber(uid, uidEnd);
    const auto effectiveUid = nextNumber(uid, uidEnd);
    if (!threadGroupID || !realUid || !effectiveUid)
        return std::nullopt;
    Status status;
    status.threadGroupID = qint64(*threadGroupID);
    status.realUid = uint(*realUid);
    status.effectiveUid = uint(*effectiveUid);
    return status;
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
    if (m_loadavg < 0)
        m_loadavg = ::open((m_root + "/loadavg").constData(), O_RDONLY | O_CLOEXEC);
    if (m_loadavg < 0)
        return -1;
    char buffer[256];
    ssize_t n;
    do
        n = ::pread(m_loadavg, buffer, sizeof buffer - 1, 0);
    while (n < 0 && errno == EINTR);
    if (n <= 0)
        return -1;
    // "0.35 0.22 0.11 3/112 6759"
    const QByteArray text = QByteArray::fromRawData(buffer, n).trimmed();
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
    // Rounded: 5251.57 s times 100 is 525156.99999..., and a start time of 525157 ticks is not
    // later than now.
    return ok && seconds > 0 ? quint64(std::llround(seconds * double(::sysconf(_SC_CLK_TCK)))) : 0;
}

QList<qint64> ProcReader::children(qint64 pid) const
{
    QList<qint64> result;
    const QByteArray tasks = path(pid, "task");
    DIR *dir = ::opendir(tasks.constData());
    if (!dir)
        return result;
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9')
            continue;
        const QByteArray listed = readFile(tasks + '/' + entry->d_name + "/children", 65536);
        for (const QByteArray &child : listed.split(' ')) {
            bool ok = false;
            const qint64 childPid = child.trimmed().toLongLong(&ok);
            if (ok && childPid > 0)
                result.append(childPid);
        }
    }
    ::closedir(dir);
    return result;
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
