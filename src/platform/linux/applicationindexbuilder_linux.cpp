// Implementation notes
//
// Building: every application entry that the catalogue would list (DesktopEntry::
// forEachApplication, so both agree on folders, order, Hidden and first-entry-wins) contributes the
// programs of its Exec= and TryExec= keys. Exec= is split the way launchers split it: the key-file
// escapes are undone by GKeyFile, the quoting by g_shell_parse_argv(), and field codes (%f, %U,
// ...) are removed from each argument afterwards, "%%" standing for "%". A leading `env` with its
// options and NAME=value arguments is skipped. Bare names are looked up in PATH as it is when the
// index is built, relative paths against the entry's Path= (or dropped without one), and every
// path is canonicalised with realpath(), so a /usr/bin symlink and its target give one key and a
// program that does not exist gives none.
//
// What is not indexed: launchers that start other applications (flatpak, snap, xdg-open,
// gtk-launch, sudo, ...), checked by the name written in the entry and by the name of the file it
// resolves to (/snap/bin/firefox is a link to snap), and interpreters. An interpreter in Exec= is
// replaced by the script it runs, found with scriptArgument(), the same function the process
// resolver applies to a running interpreter's command line. A program named by several
// applications keeps each entry as a candidate with the arguments its Exec= gives it after the
// program (or script), without those that held field codes; bundleIDForCommand() chooses among
// them by the arguments of the running process.
//

#include "applicationindexbuilder_linux.h"

#include "desktopentry_linux.h"
#include "launcherscript_linux.h"
#include "programs_linux.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <algorithm>

namespace {

class IndexBuilder
{
public:
    ApplicationIndex::Contents contents;
    QHash<QString, QList<ApplicationIndex::Candidate>> &candidates = contents.candidates;
    QHash<QString, QStringList> &programsForBundleID = contents.programsForBundleID;
    QSet<QString> &bundleIDs = contents.bundleIDs;
    QHash<QString, QStringList> &scriptsExecuting = contents.scriptsExecuting;

    void addEntry(const QString &id, const DesktopEntry &entry)
    {
        bundleIDs.insert(id);
        m_workingFolder = entry.string("Path").value_or(QString());
        m_windowClass = entry.string("StartupWMClass").value_or(QString()).trimmed();
        if (const std::optional<DesktopEntry::Command> exec = entry.execCommand()) {
            m_coded = exec->coded;
            if (!exec->arguments.isEmpty())
                addProgram(id, exec->arguments.constFirst(), true, exec->arguments);
        }
        if (const std::optional<QString> tryExec = entry.string("TryExec"))
            addProgram(id, tryExec->trimmed(), false);
    }

private:
    // Indexes program (as written in the entry) for id. With the command line, an interpreter is
    // replaced by the script it runs; without one (TryExec=) an interpreter is not indexed.
    void addProgram(const QString &id, const QString &program, bool followScript,
                    const QStringList &arguments = {})
    {
        const QString path = resolve(program, true);
        if (path.isEmpty() || Programs::isLauncher(Programs::baseName(program))
            || Programs::isLauncher(Programs::baseName(path)))
            return;
        if (Programs::isInterpreter(Programs::baseName(program))
            || Programs::isInterpreter(Programs::baseName(path))) {
            if (!followScript)
                return;
            // The name that is an interpreter's tells scriptArgument() which one it is.
            QStringList forScript = arguments;
            if (Programs::isInterpreter(Programs::baseName(path)))
                forScript[0] = path;
            const qsizetype at = Programs::scriptArgumentIndex(forScript);
            if (at < 0)
                return;
            const QString scriptPath = resolve(arguments.at(at), false);
            if (!scriptPath.isEmpty() && !Programs::isLauncher(Programs::baseName(scriptPath))) {
                insert(scriptPath, id, arguments.mid(at + 1), true);
                noteExecTargets(scriptPath, id);
            }
            return;
        }
        insert(path, id, arguments.mid(1), followScript);
        noteExecTargets(path, id);
    }

public:
    // The programs that an indexed shell script execs by an absolute path, literal or built from
    // the script's own fixed variables (`exec /opt/app/bin/app "$@"`, `exec $LIBDIR/$APPNAME`),
    // are its application's too, unless an entry names them itself: such a binary, started
    // directly or first seen after the script's short run, still names the application. Two
    // scripts that exec one binary leave it to the rules for shared programs.
    void addExecTargets()
    {
        const QSet<QString> named(candidates.keyBegin(), candidates.keyEnd());
        for (const ExecTarget &target : std::as_const(m_execTargets)) {
            if (named.contains(target.path)) {
                QStringList &scripts = scriptsExecuting[target.path];
                if (!scripts.contains(target.script))
                    scripts.append(target.script);
                continue;
            }
            m_windowClass = target.windowClass;
            m_coded.clear();
            insert(target.path, target.bundleID, {}, true);
        }
    }

private:
    struct ExecTarget
    {
        QString script;
        QString path;
        QString bundleID;
        QString windowClass;
    };

    void noteExecTargets(const QString &path, const QString &id)
    {
        for (const QString &target : LauncherScript::execTargets(path))
            m_execTargets.append({path, target, id, m_windowClass});
    }

    // The canonical path of a program or script as written in an entry; empty when it cannot be
    // found. Bare names are looked up in PATH only for programs.
    QString resolve(const QString &written, bool searchPath)
    {
        if (written.isEmpty())
            return {};
        QString path;
        if (written.startsWith(QLatin1Char('/'))) {
            path = written;
        } else if (written.contains(QLatin1Char('/')) || !searchPath) {
            if (!QDir::isAbsolutePath(m_workingFolder))
                return {};
            path = QDir(m_workingFolder).absoluteFilePath(written);
        } else {
            auto cached = m_pathLookups.constFind(written);
            if (cached == m_pathLookups.cend())
                cached = m_pathLookups.insert(written, QStandardPaths::findExecutable(written));
            path = *cached;
            if (path.isEmpty())
                return {};
        }
        return Programs::canonicalPath(path);
    }

    // One candidate per entry and program: the one from Exec= (with its arguments) wins over a
    // TryExec= naming the same program.
    void insert(const QString &path, const QString &id, const QStringList &arguments, bool fromExec)
    {
        QStringList &programs = programsForBundleID[id];
        if (!programs.contains(path))
            programs.append(path);
        QList<ApplicationIndex::Candidate> &list = candidates[path];
        if (std::any_of(list.cbegin(), list.cend(),
                        [&](const auto &c) { return c.bundleID == id; }))
            return;
        ApplicationIndex::Candidate candidate;
        candidate.bundleID = id;
        candidate.windowClass = m_windowClass;
        for (const QString &argument : arguments) {
            if (!fromExec || m_coded.contains(argument))
                continue;
            candidate.arguments.append(argument);
            candidate.hasOptions = candidate.hasOptions || argument.startsWith(QLatin1Char('-'));
        }
        list.append(candidate);
    }

    QString m_workingFolder;
    QString m_windowClass;
    QSet<QString> m_coded;
    QHash<QString, QString> m_pathLookups;
    QList<ExecTarget> m_execTargets;
};

} // namespace

ApplicationIndex::Contents buildApplicationIndex(const QStringList &folders)
{
    IndexBuilder builder;
    DesktopEntry::forEachApplication(
            folders, [&builder](const QString &id, const QString &, const DesktopEntry &entry) {
                builder.addEntry(id, entry);
            });
    builder.addExecTargets();
    ApplicationIndex::Contents &contents = builder.contents;
    for (const QList<ApplicationIndex::Candidate> &candidates :
         std::as_const(contents.candidates)) {
        for (const ApplicationIndex::Candidate &candidate : candidates) {
            if (!candidate.windowClass.isEmpty())
                contents.bundleIDsForWindowClass[candidate.windowClass].insert(candidate.bundleID);
        }
    }
    return std::move(contents);
}
