#pragma once

#include <QByteArray>

#include <chrono>
#include <functional>
#include <optional>

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
