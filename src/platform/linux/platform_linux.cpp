#include "platform.h"

#include "cloudkeyvaluestore_linux.h"
#include "keychain_linux.h"
#include "privatefiles_linux.h"
#include "userdefaults_linux.h"
#include "workspace_linux.h"
#include "xdgpaths_linux.h"

// The one place that picks the platform's implementations. Each service is created on first use
// (function-local statics are thread-safe) and lives until the process ends.
namespace Platform {

CloudKeyValueStore *cloudStore()
{
    static auto *store = new LinuxCloudKeyValueStore(XdgPaths::cloudFolder());
    return store;
}

UserDefaults *userDefaults()
{
    static auto *defaults = new LinuxUserDefaults(XdgPaths::defaultsFile());
    return defaults;
}

Keychain *keychain()
{
    static auto *keychain = new LinuxKeychain(XdgPaths::keychainFolder());
    return keychain;
}

Workspace *workspace()
{
    static auto *workspace = new LinuxWorkspace();
    return workspace;
}

QString stateFolder()
{
    const QString folder = XdgPaths::vornStateFolder();
    return PrivateFiles::makePrivateFolder(folder) ? folder : QString();
}

} // namespace Platform
