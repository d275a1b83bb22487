#pragma once

#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <cstdint>

// The scratch folder of a target that reads files: on a memory file system where there is one,
// since every run writes and syncs files. Made on first use, removed when the fuzzer exits.
class FuzzFolder
{
public:
    static QString path() { return folder().path(); }

    // Writes the input as the file `name` (its folder created); its path, empty when it cannot.
    static QString write(const QString &name, const uint8_t *data, size_t size)
    {
        const QString path = folder().filePath(name);
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        const bool written = file.open(QIODevice::WriteOnly | QIODevice::Truncate)
                && file.write(reinterpret_cast<const char *>(data), qint64(size)) == qint64(size);
        return written ? path : QString();
    }

private:
    static QTemporaryDir &folder()
    {
        static QTemporaryDir folder((QDir(QStringLiteral("/dev/shm")).exists()
                                             ? QStringLiteral("/dev/shm")
                                             : QDir::tempPath())
                                    + QStringLiteral("/vorn-fuzz-XXXXXX"));
        return folder;
    }
};
