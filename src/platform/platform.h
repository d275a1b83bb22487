#pragma once

#include <QString>

class CloudKeyValueStore;
class Keychain;
class UserDefaults;
class Workspace;

// The platform's shared services. Each accessor creates its service on first use and returns the
// same instance for the rest of the process (thread-safe); the instances are never destroyed.
// Locations come from the environment at first use (HOME, XDG_*, VORN_CLOUD_DIR).
namespace Platform {

CloudKeyValueStore *cloudStore();
UserDefaults *userDefaults();
Keychain *keychain();
Workspace *workspace();

// The computer's name as the user sees it; empty when the system reports none.
QString localizedHostName();

// A private folder for this program's local state (backups, logs), created when missing; empty
// when it cannot be used (it belongs to another user).
QString stateFolder();

} // namespace Platform
