// The user defaults file, which any program of the user's may have written.
#include "userdefaults_linux.h"

#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

namespace {
QTemporaryDir *folder;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // On a memory file system where there is one: every run writes and syncs files.
    folder = new QTemporaryDir(QDir(QStringLiteral("/dev/shm")).exists()
                                       ? QStringLiteral("/dev/shm/vorn-fuzz-XXXXXX")
                                       : QDir::tempPath() + QStringLiteral("/vorn-fuzz-XXXXXX"));
    std::atexit([] { delete folder; });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString path = folder->filePath(QStringLiteral("defaults.json"));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        file.write(reinterpret_cast<const char *>(data), qint64(size));
    }
    LinuxUserDefaults defaults(path);
    defaults.boolForKey(QStringLiteral("isBlocking"));
    defaults.stringArrayForKey(QStringLiteral("blockedBundleIDs"));
    // A write keeps every other key, or moves the undecodable file aside.
    defaults.setBool(true, QStringLiteral("isBlocking"));
    if (!defaults.boolForKey(QStringLiteral("isBlocking")))
        std::abort();
    QDir(folder->path()).removeRecursively();
    QDir().mkpath(folder->path());
    return 0;
}
