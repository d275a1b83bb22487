#pragma once

#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

// The scratch folder of a target that reads files: on a memory file system where there is one,
// since every run writes and syncs files. Removed when the fuzzer exits.
class FuzzFolder
{
public:
    static void create()
    {
        s_folder = new QTemporaryDir(QDir(QStringLiteral("/dev/shm")).exists()
                                             ? QStringLiteral("/dev/shm/vorn-fuzz-XXXXXX")
                                             : QDir::tempPath()
                                                     + QStringLiteral("/vorn-fuzz-XXXXXX"));
        std::atexit([] { delete s_folder; });
    }

    static QString path() { return s_folder->path(); }
    static QString filePath(const QString &name) { return s_folder->filePath(name); }

    // Writes the input as the file `name` (its folder created); false when it cannot be written.
    static bool write(const QString &name, const uint8_t *data, size_t size)
    {
        const QString path = filePath(name);
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
                && file.write(reinterpret_cast<const char *>(data), qint64(size)) == qint64(size);
    }

private:
    static inline QTemporaryDir *s_folder = nullptr;
};
