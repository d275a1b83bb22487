// The keychain's fallback file, read as this computer's device identifier when no Secret Service
// answers.
#include "deviceidentity.h"
#include "fuzzfolder.h"
#include "keychain_linux.h"

static LinuxKeychain *keychain;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // No Secret Service: the file alone is the item.
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/vorn-fuzz-bus");
    keychain = new LinuxKeychain(FuzzFolder::path());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString file = DeviceIdentity::service + QLatin1Char('/') + DeviceIdentity::account;
    if (FuzzFolder::write(file, data, size).isEmpty())
        return 0;
    DeviceIdentity identity(keychain);
    const std::optional<QString> stored = identity.loadStoredDeviceID();
    // A stored identifier is used exactly as stored; anything else is replaced and then read back.
    const QString current = identity.currentDeviceID();
    if (stored ? current != *stored : identity.loadStoredDeviceID() != current)
        std::abort();
    return 0;
}
