// A desktop entry: any file in the application folders, which any package or user may install.
#include "applicationindex_linux.h"
#include "desktopentry_linux.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

namespace {
QTemporaryDir *folder;
}

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    new QCoreApplication(*argc, *argv);
    // On a memory file system where there is one: every run writes and syncs files.
    folder = new QTemporaryDir(QDir(QStringLiteral("/dev/shm")).exists()
                                       ? QStringLiteral("/dev/shm/vorn-fuzz-XXXXXX")
                                       : QDir::tempPath() + QStringLiteral("/vorn-fuzz-XXXXXX"));
    std::atexit([] { delete folder; });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString path = folder->filePath(QStringLiteral("org.example.Fuzz.desktop"));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        file.write(reinterpret_cast<const char *>(data), qint64(size));
    }
    if (const std::optional<DesktopEntry> entry = DesktopEntry::open(path)) {
        for (const char *key : {"Name", "Exec", "TryExec", "Icon", "Type"}) {
            entry->string(key);
            entry->localeString(key);
        }
        entry->boolean("NoDisplay");
        entry->isApplication();
        entry->isHidden();
        entry->iconName();
    }
    // The index reads the Exec= and TryExec= lines of every entry in the folder.
    ApplicationIndex index({folder->path()});
    index.bundleIDForProgram(QStringLiteral("/bin/sh"));
    return 0;
}
