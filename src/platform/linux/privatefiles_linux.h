#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

// POSIX file helpers shared by the file-backed stores: private folders, reads that cannot hang
// on odd files, and atomic replacement of a file's contents.
namespace PrivateFiles {

enum class ReadStatus {
    Ok,
    Missing, // nothing at the path
    NotAFile, // a directory, FIFO, socket or device stands where the file belongs
    Unreadable, // present but cannot be opened or read
    TooLarge, // larger than the caller's limit
};

struct ReadResult
{
    ReadStatus status = ReadStatus::Missing;
    QByteArray bytes;
};

// Reads a regular file whole. Special files are refused without blocking (they are opened
// non-blocking and checked before any read); files over maxBytes are refused.
ReadResult readFile(const QString &path, qint64 maxBytes);

// Creates the folder and any missing parents, each new one with mode 0700 (the umask cannot widen
// it). True when the path is a directory afterwards.
bool makePrivateFolder(const QString &path);

// Replaces the file's contents atomically: a temporary file named tempPrefix + random suffix in
// the same folder, written, fsync'ed, renamed over the path, then the folder fsync'ed. The file
// ends with mode 0600. The folder must exist. beforeRename, when given, sees the temporary file's
// inode just before the rename. False (and no temporary left behind) on any failure.
bool replaceAtomically(const QString &path, const QByteArray &bytes, const QByteArray &tempPrefix,
                       const std::function<void(quint64 inode)> &beforeRename = {});

// The path with any symbolic links resolved, so that a replacement keeps a link in place and
// writes where it points, even when the link's target does not exist yet; the path itself when it
// is no link and does not exist.
QString resolvedPath(const QString &path);

} // namespace PrivateFiles
