#pragma once

#include "applications.h"
#include "cloudkeyvaluestore.h"
#include "keychain.h"
#include "platformservices.h"
#include "sessionclock.h"
#include "systemlog.h"
#include "userdefaults.h"
#include "workspace.h"

#include <QString>

#include <memory>

// The factory of the platform's services: the one header through which the entry points reach
// them. Each platform folder implements it in one source file; locations come from the
// environment (HOME, XDG_*, VORN_CLOUD_DIR) when a service is created.
namespace Platform {

// Every service one process uses, created together by its entry point, which owns them and keeps
// them longer than every object it lends them to. Destruction stops the services' threads (the
// store's watcher, the launch watcher, the Secret Service worker) and waits for them.
class Services
{
public:
    Services();
    ~Services();
    Services(const Services &) = delete;
    Services &operator=(const Services &) = delete;

    const PlatformServices &lend() const { return m_lent; }

private:
    std::unique_ptr<CloudKeyValueStore> m_cloudStore;
    std::unique_ptr<UserDefaults> m_userDefaults;
    std::unique_ptr<Keychain> m_keychain;
    std::unique_ptr<Applications> m_applications;
    std::unique_ptr<Workspace> m_workspace;
    std::unique_ptr<SystemLog> m_systemLog;
    std::unique_ptr<SessionClock> m_sessionClock;
    PlatformServices m_lent;
};

// A keychain of its own, for a program that asks one question and exits.
std::unique_ptr<Keychain> createKeychain();

// A cloud store for a program that only reads and writes and exits at once (a command-line tool):
// it raises no change notices and runs no thread.
std::unique_ptr<CloudKeyValueStore> createQuietCloudStore();

// The user defaults, for a command that reads one and exits.
std::unique_ptr<UserDefaults> createUserDefaults();
// Where the cloud store keeps its values, for messages to the user.
QString cloudStoreLocation();
// Whether the cloud store can hold a value under this key (it refuses the others unread).
bool isUsableCloudKey(const QString &key);

// The computer's name as the user sees it; empty when the system reports none.
QString localizedHostName();

// A private folder for this program's local state (backups, logs), created when missing; empty
// when it cannot be used (it belongs to another user).
QString stateFolder();

// Gives memory the process freed back to the system (after the views are released).
void releaseFreeMemory();

} // namespace Platform
