#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// The file systems to mark, read from /proc/self/mountinfo: one mount point per superblock
// (device number), the first one listed, and none of a pseudo file system that holds no programs
// (proc, sysfs, cgroup, devpts, ...). tmpfs, overlay, squashfs (Snaps), FUSE (AppImages) and the
// disk file systems are all kept: a program can be started from any of them.
namespace MountTable {

struct Mount
{
    QByteArray device; // "major:minor"
    QString mountPoint;
    QByteArray type;
    friend bool operator==(const Mount &, const Mount &) = default;
};

QList<Mount> markable(const QByteArray &mountinfo);
bool isPseudoFileSystem(const QByteArray &type);

} // namespace MountTable
