#pragma once

#include <QString>
#include <QStringList>

// Where Vorn keeps its state, following the XDG base-directory rules. Each call reads the
// environment afresh; an unset, empty or relative XDG variable falls back to its default.
namespace XdgPaths {

QString dataHome(); // $XDG_DATA_HOME or ~/.local/share
QString configHome(); // $XDG_CONFIG_HOME or ~/.config
QString stateHome(); // $XDG_STATE_HOME or ~/.local/state
QString cacheHome(); // $XDG_CACHE_HOME or ~/.cache

QString cloudFolder(); // $VORN_CLOUD_DIR, else <dataHome>/vorn/cloud
QString defaultsFile(); // <configHome>/vorn/defaults.json
QString keychainFolder(); // <dataHome>/vorn/keychain
QString vornStateFolder(); // <stateHome>/vorn

// The application folders, in order: <dataHome>/applications, then each
// $XDG_DATA_DIRS/*/applications (defaults /usr/local/share and /usr/share).
QStringList applicationFolders();

} // namespace XdgPaths
