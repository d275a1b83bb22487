// A desktop entry: any file in the application folders, which any package or user may install.
#include "applicationindex_linux.h"
#include "desktopentry_linux.h"
#include "fuzzfolder.h"

#include <QCoreApplication>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    new QCoreApplication(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString path = FuzzFolder::write(QStringLiteral("org.example.Fuzz.desktop"), data, size);
    if (path.isEmpty())
        return 0;
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
    ApplicationIndex index({FuzzFolder::path()});
    index.bundleIDForProgram(QStringLiteral("/bin/sh"));
    return 0;
}
