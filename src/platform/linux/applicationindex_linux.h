#pragma once

#include "xdgpaths_linux.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

class QSocketNotifier;
class QTimer;

// Which installed application a program belongs to: an index from the canonical paths of the
// programs named by the Exec= and TryExec= keys of the installed application entries to their
// bundle identifiers. The last resort for naming a running process that nothing else identifies.
//
// Promises:
// - Keys are canonical absolute paths (symlinks resolved). Entries are those the catalogue lists
//   (same folders, same first-entry-wins rule; Hidden entries contribute nothing).
// - Launchers never name an application: env (skipped, with its options and NAME=value
//   arguments, in favour of the program it runs), flatpak, snap, xdg-open, gtk-launch and the
//   like, and interpreters themselves. For an interpreter running a script, the script is indexed.
// - A program that the entries of several applications name is ambiguous and maps to none of
//   them (closing the wrong application is worse than not knowing); programsForBundleID() still
//   lists it for each of them.
// - When an application folder, or a missing folder's parent, changes, the index is rebuilt about
//   200 ms later, and changed() is emitted if any answer of the index changed.
// The index lives on the thread that created it (the main thread) and is used only there.
class ApplicationIndex : public QObject
{
    Q_OBJECT

public:
    explicit ApplicationIndex(const QStringList &folders = XdgPaths::applicationFolders(),
                              QObject *parent = nullptr);
    ~ApplicationIndex() override;

    // The bundle identifier of the application whose entry names the program at absolutePath
    // (canonicalised here if it is not already); empty when none, or when it is ambiguous.
    QString bundleIDForProgram(const QString &absolutePath) const;
    // The canonical paths of the programs and scripts the application's entry names, for
    // watching their execution; interpreters and launchers are never among them.
    QStringList programsForBundleID(const QString &bundleID) const;
    // Whether an installed application entry has this bundle identifier, whatever its programs
    // (a Flatpak's or a D-Bus-activated application's entry names none that can be indexed).
    bool hasApplication(const QString &bundleID) const;

    // For a command line whose first argument is an interpreter (a shell, python, perl, ruby,
    // node, ...), the script argument it runs, as written (possibly relative to the process's
    // working folder); empty when the program is not an interpreter or runs no script file (sh -c,
    // python -m, perl -e, reading standard input, ...).
    static QString scriptArgument(const QStringList &arguments);

Q_SIGNALS:
    void changed();

private:
    void rebuild();
    void watchFolders();
    void readNotifications();

    QStringList m_folders;
    QHash<QString, QString> m_bundleIDForProgram; // ambiguous programs map to an empty string
    QHash<QString, QStringList> m_programsForBundleID;
    QSet<QString> m_bundleIDs;

    int m_inotify = -1;
    QSocketNotifier *m_notifier = nullptr;
    QTimer *m_debounce = nullptr;
    QTimer *m_poll = nullptr;
    struct Watch
    {
        bool isFolder = false; // an application folder: any entry there counts
        QList<QByteArray> towards; // next path components towards folders that do not exist
    };
    QHash<int, Watch> m_watches;
};
