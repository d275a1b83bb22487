#pragma once

#include <QString>

class Applications;
class CloudKeyValueStore;
class Keychain;
class SessionClock;
class SystemLog;
class UserDefaults;
class Workspace;

// The platform services as the logic receives them: borrowed, never owned. The entry point creates
// the services (Platform::Services) and keeps them longer than every object it lends them to.
struct PlatformServices
{
    CloudKeyValueStore *cloudStore = nullptr;
    UserDefaults *userDefaults = nullptr;
    Keychain *keychain = nullptr;
    Workspace *workspace = nullptr;
    Applications *applications = nullptr;
    // The computer's name as the user sees it; empty when the system reports none.
    QString hostName;
    // A private folder for this program's local state (backups); may not exist yet.
    QString stateFolder;
    SystemLog *systemLog = nullptr; // none: the enforcement's lines go to standard error only
    // The clocks that time sessions and schedules; none: records are applied as if they had no
    // end, lock or schedule.
    SessionClock *sessionClock = nullptr;
};
