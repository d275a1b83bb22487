// The user defaults file, which any program of the user's may have written.
#include "fuzzfolder.h"
#include "userdefaults_linux.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzFolder::create();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString name = QStringLiteral("defaults.json");
    if (!FuzzFolder::write(name, data, size))
        return 0;
    const QString path = FuzzFolder::filePath(name);
    LinuxUserDefaults defaults(path);
    defaults.boolForKey(QStringLiteral("isBlocking"));
    defaults.stringArrayForKey(QStringLiteral("blockedBundleIDs"));
    // A write keeps every other key, or moves the undecodable file aside.
    defaults.setBool(true, QStringLiteral("isBlocking"));
    if (!defaults.boolForKey(QStringLiteral("isBlocking")))
        std::abort();
    QDir(FuzzFolder::path()).removeRecursively();
    QDir().mkpath(FuzzFolder::path());
    return 0;
}
