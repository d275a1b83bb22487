#include "platform.h"

#include "applications_linux.h"
#include "cloudkeyvaluestore_linux.h"
#include "hostinfo_linux.h"
#include "keychain_linux.h"
#include "privatefiles_linux.h"
#include "sessionclock_linux.h"
#include "systemlog_linux.h"
#include "userdefaults_linux.h"
#include "workspace_linux.h"
#include "xdgpaths_linux.h"

#include <QSysInfo>

#include <malloc.h>

// The one place that picks the Linux implementations of the seams.
namespace Platform {

Services::Services()
    : m_cloudStore(std::make_unique<LinuxCloudKeyValueStore>(XdgPaths::cloudFolder()))
    , m_userDefaults(std::make_unique<LinuxUserDefaults>(XdgPaths::defaultsFile()))
    , m_keychain(std::make_unique<LinuxKeychain>(XdgPaths::keychainFolder()))
    , m_applications(std::make_unique<LinuxApplications>())
    , m_workspace(std::make_unique<LinuxWorkspace>())
    , m_systemLog(std::make_unique<LinuxSystemLog>())
    , m_sessionClock(std::make_unique<LinuxSessionClock>(XdgPaths::vornStateFolder()
                                                         + QStringLiteral("/session.json")))
{
    m_lent = PlatformServices{m_cloudStore.get(), m_userDefaults.get(), m_keychain.get(),
                              m_workspace.get(),  m_applications.get(), localizedHostName(),
                              stateFolder(),      m_systemLog.get(),    m_sessionClock.get()};
}

// The members go in reverse order: the workspace's watcher thread first, the store's last.
Services::~Services() = default;

std::unique_ptr<Keychain> createKeychain()
{
    return std::make_unique<LinuxKeychain>(XdgPaths::keychainFolder());
}

std::unique_ptr<CloudKeyValueStore> createQuietCloudStore()
{
    return std::make_unique<LinuxCloudKeyValueStore>(XdgPaths::cloudFolder(),
                                                     LinuxCloudKeyValueStore::Notices::None);
}

std::unique_ptr<UserDefaults> createUserDefaults()
{
    return std::make_unique<LinuxUserDefaults>(XdgPaths::defaultsFile());
}

QString cloudStoreLocation()
{
    return XdgPaths::cloudFolder();
}

bool isUsableCloudKey(const QString &key)
{
    return LinuxCloudKeyValueStore::isSafeKey(key);
}

QString localizedHostName()
{
    return HostInfo::localizedHostName(QStringLiteral("/etc/machine-info"),
                                       QSysInfo::machineHostName());
}

QString stateFolder()
{
    const QString folder = XdgPaths::vornStateFolder();
    return PrivateFiles::makePrivateFolder(folder) ? folder : QString();
}

void releaseFreeMemory()
{
    malloc_trim(0);
}

} // namespace Platform
