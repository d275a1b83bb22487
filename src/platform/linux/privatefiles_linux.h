#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

// POSIX file helpers shared by the file-backed stores: private folders, reads that cannot hang
// on odd files, and atomic replacement of a file's contents.
//
// Vorn's own files are never reached through a symbolic link: they are opened with O_NOFOLLOW
// relative to a descriptor of their folder, and renamed with renameat. A private folder must
// belong to this user and be writable by nobody else: one that belongs to this user is tightened
// to 0700, one that belongs to another user is refused. Each refusal, tightening or file moved
// aside is logged once per process.
namespace PrivateFiles {

enum class ReadStatus {
    Ok,
    Missing, // nothing at the path
    NotAFile, // a link, directory, FIFO, socket or device stands where the file belongs
    Unreadable, // present but cannot be opened or read, or its folder is refused
    TooLarge, // larger than the caller's limit
};

struct ReadResult
{
    ReadStatus status = ReadStatus::Missing;
    QByteArray bytes;
};

// Reads a regular file whole, following links (for system files such as /etc/machine-info).
// Special files are refused without blocking (they are opened non-blocking and checked before
// any read); files over maxBytes are refused.
ReadResult readFile(const QString &path, qint64 maxBytes);

// Reads one of Vorn's own files: as readFile, but its folder must pass the private folder check
// and the file itself is never a link.
ReadResult readPrivateFile(const QString &path, qint64 maxBytes);

// Creates the folder and any missing parents, each new one with mode 0700 (the umask cannot widen
// it), then checks the folder itself as above. True when it is a usable private folder.
bool makePrivateFolder(const QString &path);

// How long a replacement is sure to last. Either way readers see the old bytes or the new, whole,
// and so does a writer restarted after being killed.
enum class Durability {
    // The file is fsync'ed before the rename and the folder after it: once the call returns, the
    // new bytes survive a power cut too.
    Synced,
    // Nothing waits for the disk: after a power cut the path may hold older bytes, or none. For
    // files that only speed things up or report, and that are never the one copy of a value.
    Unsynced,
};

// Replaces the file's contents atomically: a temporary file named tempPrefix + this process's
// number + '-' + a random suffix in the same folder, written, renamed over the path (see
// Durability for the fsyncs around the rename). The file ends with mode 0600. The folder must exist
// and pass the check. Whatever stands at the path that is not a regular file (a link, a folder) is
// first moved aside inside the folder, as ".<name>.moved-aside-<UTC time>". beforeRename, when
// given, sees the temporary file's inode just before the rename. False (and no temporary left
// behind) on any failure.
bool replaceAtomically(const QString &path, const QByteArray &bytes, const QByteArray &tempPrefix,
                       const std::function<void(quint64 inode)> &beforeRename = {},
                       Durability durability = Durability::Synced);

// Renames the entry at path (the link itself, never its target) to path + suffix + UTC time in
// the same folder, never replacing anything. False when nothing was moved.
bool moveAside(const QString &path, const QString &suffix);

// Writes "vorn: <line>" to standard error the first time this process reports that line.
void logOnce(const QByteArray &line);

// Removes temporary files that writers killed mid-write left in the folder: entries named
// tempPrefix + process number + '-' ... whose process no longer runs, and, for names without a
// number, those over an hour old. A live writer's temporary file is never touched.
void sweepTemporaries(const QString &folder, const QByteArray &tempPrefix);

} // namespace PrivateFiles
