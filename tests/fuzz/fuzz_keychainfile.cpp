// The keychain's fallback file, read as this computer's device identifier when no Secret Service
// answers.
#include "deviceidentity.h"
#include "keychain_linux.h"

#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

namespace {
QTemporaryDir *folder;
LinuxKeychain *keychain;
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // No Secret Service: the file alone is the item.
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/vorn-fuzz-bus");
    // On a memory file system where there is one: every run writes and syncs files.
    folder = new QTemporaryDir(QDir(QStringLiteral("/dev/shm")).exists()
                                       ? QStringLiteral("/dev/shm/vorn-fuzz-XXXXXX")
                                       : QDir::tempPath() + QStringLiteral("/vorn-fuzz-XXXXXX"));
    std::atexit([] { delete folder; });
    keychain = new LinuxKeychain(folder->path());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString service = DeviceIdentity::service;
    QDir().mkpath(folder->filePath(service));
    {
        QFile file(folder->filePath(service + QLatin1Char('/') + DeviceIdentity::account));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        file.write(reinterpret_cast<const char *>(data), qint64(size));
    }
    DeviceIdentity identity(keychain);
    const std::optional<QString> stored = identity.loadStoredDeviceID();
    // A stored identifier is used exactly as stored; anything else is replaced and then read back.
    const QString current = identity.currentDeviceID();
    if (stored ? current != *stored : identity.loadStoredDeviceID() != current)
        std::abort();
    return 0;
}
