#pragma once

#include "guardrules.h"
#include "programcontent.h"

#include <QHash>
#include <QString>

#include <chrono>
#include <optional>

// The guard's reading of program files: the key of an open file and its content identity, and the
// rules made from the programs a user's Vorn names. Runs as root on paths a user chose, so a path
// is opened without blocking (a named pipe), and only a regular file with an execute bit counts.
namespace ProgramFile {

ProgramContent::Reader readerFor(int fd);

// statx of the open file; with cachedOnly, attributes a network or FUSE file system has cached,
// without asking it (the answering thread must never wait on a file system).
std::optional<FileKey> keyOf(int fd, bool cachedOnly);

// The build-id and, when wanted (or when the file has no build-id and wantDigest), the SHA-256.
std::optional<FileContent> contentOf(int fd, qint64 size, bool wantDigest,
                                     std::chrono::steady_clock::time_point deadline);

// The rule for one program; nothing when the path is not a program, or is a shared one
// (interpreters and launchers, by the path's or the file's own name). known: content already
// read, by key; updated with what this reads.
std::optional<ProgramRule> resolve(const QString &id, const QString &path,
                                   QHash<FileKey, FileContent> *known);

// A stored rule brought up to date with the file now at its path: the new device and inode, and
// the content read again if the size changed. A file that is gone keeps its content identity.
ProgramRule refreshed(const ProgramRule &stored, QHash<FileKey, FileContent> *known);

// The path of an open file, for messages.
QString pathOf(int fd);

} // namespace ProgramFile
