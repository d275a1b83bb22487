#pragma once

#include "xdgpaths_linux.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <memory>
#include <thread>

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
// - A program that the entries of several applications name is told apart by the arguments it
//   runs with (bundleIDForCommand()); when they cannot decide, it maps to none of them (closing
//   the wrong application is worse than not knowing). programsForBundleID() lists it for each.
// - When an application folder, or a missing folder's parent, changes, the index is rebuilt about
//   200 ms later on a thread of its own, while the old one keeps answering; the new one is swapped
//   in whole, and changed() is emitted if any answer of the index changed.
// The index is used only on the thread that created it (the launch watcher's).
class ApplicationIndex : public QObject
{
    Q_OBJECT

public:
    explicit ApplicationIndex(const QStringList &folders = XdgPaths::applicationFolders(),
                              QObject *parent = nullptr);
    ~ApplicationIndex() override;

    // One entry that names a program, with what its Exec= passes after the program.
    struct Candidate
    {
        QString bundleID;
        QStringList arguments; // without field codes and the arguments that held them
        bool hasOptions = false; // an argument starts with '-'
        QString windowClass; // StartupWMClass=
        friend bool operator==(const Candidate &, const Candidate &) = default;
    };

    // The bundle identifier of the only application whose entry names the program at
    // absolutePath (canonicalised here if it is not already); empty when none or several.
    QString bundleIDForProgram(const QString &absolutePath) const;
    // The same for a process running the program with these arguments (those after the program,
    // or after the script). An X window class the arguments ask for (-class NAME, --class NAME)
    // that exactly one entry gives as its StartupWMClass names that entry, as it names the window
    // on the desktop (UXTerm's script runs xterm -class UXTerm). Among several entries: the one
    // whose Exec= arguments are all given, the most of them; with no such argument to decide, the
    // one whose identifier (or its last dotted part) or StartupWMClass is the program's name, else
    // the one without options. Empty when equals remain.
    QString bundleIDForCommand(const QString &absolutePath, const QStringList &arguments) const;
    // Whether any entry names the program.
    bool namesProgram(const QString &absolutePath) const;
    // The canonical paths of the programs and scripts the application's entry names, for
    // watching their execution; interpreters and launchers are never among them.
    QStringList programsForBundleID(const QString &bundleID) const;
    // The entries' shell scripts that exec this program, which another entry names (UXTerm's
    // script and xterm): such a script is its own application however briefly it runs.
    QStringList scriptsExecuting(const QString &program) const;
    // Whether an installed application entry has this bundle identifier, whatever its programs
    // (a Flatpak's or a D-Bus-activated application's entry names none that can be indexed).
    bool hasApplication(const QString &bundleID) const;

    // For a command line whose first argument is an interpreter (a shell, python, perl, ruby,
    // node, ...), the script argument it runs, as written (possibly relative to the process's
    // working folder); empty when the program is not an interpreter or runs no script file (sh -c,
    // python -m, perl -e, reading standard input, ...).
    static QString scriptArgument(const QStringList &arguments);
    // The same as an index into arguments, -1 when none.
    static qsizetype scriptArgumentIndex(const QStringList &arguments);
    // Interpreters and launchers: programs that run other programs and belong to no application.
    static bool isSharedProgram(const QString &absolutePath);

    struct Contents; // applicationindexbuilder_linux.h

Q_SIGNALS:
    void changed();

private:
    void rebuild();
    void swapIn(const std::shared_ptr<const Contents> &contents);
    void watchFolders();
    void readNotifications();

    QStringList m_folders;
    const QList<Candidate> *candidatesFor(const QString &absolutePath) const;

    // Replaced whole by each rebuild; never changed in place.
    std::shared_ptr<const Contents> m_contents;
    std::thread m_builder;
    bool m_building = false;
    bool m_buildAgain = false;

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
