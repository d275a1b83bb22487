#include "mounttable.h"

#include <QSet>

namespace MountTable {

namespace {

// Mount points escape space, tab, newline and backslash as \ooo.
QString unescaped(const QByteArray &field)
{
    QByteArray bytes;
    bytes.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        if (field.at(i) == '\\' && i + 3 < field.size()) {
            bool ok = false;
            const int value = field.mid(i + 1, 3).toInt(&ok, 8);
            if (ok && value < 256) {
                bytes.append(char(value));
                i += 3;
                continue;
            }
        }
        bytes.append(field.at(i));
    }
    return QString::fromUtf8(bytes);
}

} // namespace

bool isPseudoFileSystem(const QByteArray &type)
{
    static const QSet<QByteArray> pseudo{
            "proc",     "sysfs",      "cgroup",    "cgroup2",    "devpts",      "devtmpfs",
            "mqueue",   "debugfs",    "tracefs",   "securityfs", "pstore",      "bpf",
            "configfs", "fusectl",    "hugetlbfs", "autofs",     "binfmt_misc", "efivarfs",
            "nsfs",     "rpc_pipefs", "selinuxfs", "nfsd",       "sockfs",      "pipefs",
    };
    return pseudo.contains(type);
}

QList<Mount> markable(const QByteArray &mountinfo)
{
    QList<Mount> mounts;
    QSet<QByteArray> devices;
    for (const QByteArray &line : mountinfo.split('\n')) {
        // id parent major:minor root mount-point options [optional...] - type source super-options
        const QList<QByteArray> fields = line.split(' ');
        const qsizetype separator = fields.indexOf("-");
        if (fields.size() < 5 || separator < 6 || separator + 1 >= fields.size())
            continue;
        Mount mount{fields.at(2), unescaped(fields.at(4)), fields.at(separator + 1)};
        if (isPseudoFileSystem(mount.type) || devices.contains(mount.device))
            continue;
        devices.insert(mount.device);
        mounts.append(mount);
    }
    return mounts;
}

} // namespace MountTable
