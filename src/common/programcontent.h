#pragma once

#include <QByteArray>
#include <QHashFunctions>

#include <chrono>
#include <functional>
#include <optional>

// What is known of a program's file without reading it: the cache key of its content (a file
// rewritten in place changes its mtime or ctime).
struct FileKey
{
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = 0;
    qint64 mtimeNs = 0;
    qint64 ctimeNs = 0;
    friend bool operator==(const FileKey &, const FileKey &) = default;
};
inline size_t qHash(const FileKey &key, size_t seed = 0)
{
    return qHashMulti(seed, key.device, key.inode, key.size, key.mtimeNs, key.ctimeNs);
}

// Reading a program's identity from its bytes, through a pread-like reader (the exec guard reads
// through the fd a fanotify event hands over, the launch watcher through /proc/PID/exe, tests
// through a buffer).
namespace ProgramContent {

// Reads up to size bytes at offset into buffer; the count read, or -1 on error.
using Reader = std::function<qint64(char *buffer, qint64 size, qint64 offset)>;

// The descriptor of the ELF NT_GNU_BUILD_ID note (32- or 64-bit, either byte order); empty when
// the file is not ELF or has none. A few small reads: the header, the program headers (at most
// 256) and the note segments (at most 64 KiB each).
QByteArray elfBuildId(const Reader &read);

// SHA-256 of the first size bytes, read in 1 MiB pieces; nothing when a read fails, the file is
// shorter, or the deadline passes first.
std::optional<QByteArray> sha256(const Reader &read, qint64 size,
                                 std::chrono::steady_clock::time_point deadline
                                 = std::chrono::steady_clock::time_point::max());

} // namespace ProgramContent
