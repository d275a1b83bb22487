// The user defaults file, which any program of the user's may have written.
#include "fuzzfolder.h"
#include "userdefaults_linux.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString path = FuzzFolder::write(QStringLiteral("defaults.json"), data, size);
    if (path.isEmpty())
        return 0;
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
