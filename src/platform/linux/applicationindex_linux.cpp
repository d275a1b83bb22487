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
// Watching: one inotify descriptor. Each existing folder is watched for entries appearing,
// disappearing, being renamed or rewritten; a folder that does not exist yet is represented by a
// watch on its nearest existing ancestor that reacts only to the next component on the way down,
// so busy folders such as ~/.local/share cost nothing. Watches are re-armed before every rebuild,
// so a change during a rebuild leads to another one. If inotify cannot be used, the folders are
// re-scanned every few seconds instead.

#include "applicationindex_linux.h"

#include "desktopentry_linux.h"
#include "inotify_linux.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTimer>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include <sys/inotify.h>
#include <unistd.h>

#include <glib.h>

namespace {

constexpr int debounceMs = 200;
constexpr int pollFallbackMs = 5000;
constexpr uint32_t watchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE
        | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

QString baseName(const QString &path)
{
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

bool isLauncher(const QString &name)
{
    static const QSet<QString> launchers{
            QStringLiteral("env"),           QStringLiteral("flatpak"),
            QStringLiteral("flatpak-spawn"), QStringLiteral("snap"),
            QStringLiteral("xdg-open"),      QStringLiteral("gtk-launch"),
            QStringLiteral("gio"),           QStringLiteral("gio-launch-desktop"),
            QStringLiteral("exo-open"),      QStringLiteral("kde-open"),
            QStringLiteral("kde-open5"),     QStringLiteral("kioclient"),
            QStringLiteral("kioclient5"),    QStringLiteral("kstart"),
            QStringLiteral("kstart5"),       QStringLiteral("pkexec"),
            QStringLiteral("sudo"),          QStringLiteral("su"),
            QStringLiteral("gksu"),          QStringLiteral("gksudo"),
            QStringLiteral("kdesu"),         QStringLiteral("xdg-su"),
            QStringLiteral("nohup"),         QStringLiteral("setsid"),
            QStringLiteral("nice"),          QStringLiteral("ionice"),
            QStringLiteral("taskset"),       QStringLiteral("chrt"),
            QStringLiteral("systemd-run"),   QStringLiteral("dbus-launch"),
            QStringLiteral("dbus-send"),     QStringLiteral("gdbus"),
            QStringLiteral("busctl"),        QStringLiteral("firejail"),
            QStringLiteral("bwrap"),         QStringLiteral("busybox"),
            QStringLiteral("java"),          QStringLiteral("mono"),
            QStringLiteral("wine"),          QStringLiteral("wine64"),
    };
    return launchers.contains(name);
}

// How one family of interpreters marks its script: options that make it run inline code or
// standard input instead of a file, and options that take the following argument as their value.
struct Interpreter
{
    QRegularExpression name;
    QLatin1String inlineLetters; // short options, alone or in a cluster such as "-ec"
    QStringList inlineOptions; // long options
    QStringList valueOptions;
    bool plusOptions = false;
};

const Interpreter *interpreterFor(const QString &name)
{
    static const std::array<Interpreter, 8> interpreters{{
            {QRegularExpression(
                     QStringLiteral("^((|a|ba|da|z|k|mk|pdk|rba|ya|c|tc)sh|ksh93|fish)$")),
             QLatin1String("cs"),
             {QStringLiteral("--command")},
             {QStringLiteral("-o"), QStringLiteral("+o"), QStringLiteral("-O"),
              QStringLiteral("+O"), QStringLiteral("--rcfile"), QStringLiteral("--init-file"),
              QStringLiteral("-C"), QStringLiteral("--init-command")},
             true},
            {QRegularExpression(QStringLiteral("^(python|pypy)[0-9.]*$")),
             QLatin1String("cm"),
             {},
             {QStringLiteral("-W"), QStringLiteral("-X"), QStringLiteral("-Q"),
              QStringLiteral("--check-hash-based-pycs")}},
            {QRegularExpression(QStringLiteral("^perl[0-9.]*$")),
             QLatin1String("eE"),
             {},
             {QStringLiteral("-I")}},
            {QRegularExpression(QStringLiteral("^ruby[0-9.]*$")),
             QLatin1String("e"),
             {},
             {QStringLiteral("-I"), QStringLiteral("-r"), QStringLiteral("-C"),
              QStringLiteral("-E")}},
            {QRegularExpression(QStringLiteral("^(node|nodejs)$")),
             QLatin1String("ep"),
             {QStringLiteral("--eval"), QStringLiteral("--print")},
             {QStringLiteral("-r"), QStringLiteral("--require"), QStringLiteral("--import"),
              QStringLiteral("--loader"), QStringLiteral("--experimental-loader"),
              QStringLiteral("-C"), QStringLiteral("--conditions"),
              QStringLiteral("--input-type")}},
            {QRegularExpression(QStringLiteral("^(lua[0-9.]*|luajit)$")),
             QLatin1String(""),
             {},
             {QStringLiteral("-e"), QStringLiteral("-l")}},
            {QRegularExpression(QStringLiteral("^(tclsh|wish)[0-9.]*$")),
             QLatin1String(""),
             {},
             {QStringLiteral("-encoding")}},
            {QRegularExpression(QStringLiteral("^gjs(-console)?$")),
             QLatin1String("c"),
             {QStringLiteral("--command")},
             {QStringLiteral("-I"), QStringLiteral("--include-path")}},
    }};
    for (const Interpreter &interpreter : interpreters) {
        if (interpreter.name.match(name).hasMatch())
            return &interpreter;
    }
    return nullptr;
}

std::optional<QStringList> splitCommandLine(const QString &line)
{
    gint argc = 0;
    gchar **argv = nullptr;
    if (!g_shell_parse_argv(line.toUtf8().constData(), &argc, &argv, nullptr))
        return std::nullopt;
    QStringList arguments;
    for (gint i = 0; i < argc; ++i)
        arguments.append(QString::fromUtf8(argv[i]));
    g_strfreev(argv);
    return arguments;
}

// Removes the field codes of one Exec= argument; nothing when the argument consisted of field
// codes only (such an argument expands to nothing or to separate arguments, never to a program).
std::optional<QString> withoutFieldCodes(const QString &argument)
{
    static const QLatin1String codes("fFuUdDnNickvm");
    QString result;
    bool onlyCodes = !argument.isEmpty();
    for (qsizetype i = 0; i < argument.size(); ++i) {
        const QChar c = argument.at(i);
        if (c == QLatin1Char('%') && i + 1 < argument.size()) {
            const QChar code = argument.at(i + 1);
            if (code == QLatin1Char('%')) {
                result.append(code);
                onlyCodes = false;
                ++i;
                continue;
            }
            if (codes.contains(code)) {
                ++i;
                continue;
            }
        }
        result.append(c);
        onlyCodes = false;
    }
    if (onlyCodes)
        return std::nullopt;
    return result;
}

// Drops a leading `env` (and a nested one) with its options and NAME=value arguments.
QStringList withoutEnv(QStringList arguments)
{
    while (!arguments.isEmpty() && baseName(arguments.constFirst()) == QLatin1String("env")) {
        arguments.removeFirst();
        while (!arguments.isEmpty() && arguments.constFirst().startsWith(QLatin1Char('-'))) {
            const QString option = arguments.takeFirst();
            if (option == QLatin1String("--"))
                break;
            if (option == QLatin1String("-u") || option == QLatin1String("--unset")
                || option == QLatin1String("-C") || option == QLatin1String("--chdir")) {
                if (!arguments.isEmpty())
                    arguments.removeFirst();
            } else if (option == QLatin1String("-S") || option == QLatin1String("--split-string")
                       || option.startsWith(QLatin1String("-S"))
                       || option.startsWith(QLatin1String("--split-string="))) {
                QString text;
                if (option == QLatin1String("-S") || option == QLatin1String("--split-string"))
                    text = arguments.isEmpty() ? QString() : arguments.takeFirst();
                else
                    text = option.mid(option.startsWith(QLatin1String("-S")) ? 2 : 15);
                arguments = splitCommandLine(text).value_or(QStringList()) + arguments;
            }
        }
        while (!arguments.isEmpty() && arguments.constFirst().contains(QLatin1Char('=')))
            arguments.removeFirst();
    }
    return arguments;
}

QString canonicalPath(const QString &path)
{
    char resolved[PATH_MAX];
    if (!::realpath(QFile::encodeName(path).constData(), resolved))
        return {};
    return QFile::decodeName(resolved);
}

// Whether an Exec= argument carried a field code: its expanded value is not known, so it takes
// no part in telling entries apart.
bool hadFieldCodes(const QString &argument, const QString &kept)
{
    return QString(argument).replace(QLatin1String("%%"), QLatin1String("%")) != kept;
}

class IndexBuilder
{
public:
    QHash<QString, QList<ApplicationIndex::Candidate>> candidates;
    QHash<QString, QStringList> programsForBundleID;
    QSet<QString> bundleIDs;
    QHash<QString, QStringList> scriptsExecuting;

    void addEntry(const QString &id, const DesktopEntry &entry)
    {
        bundleIDs.insert(id);
        m_workingFolder = entry.string("Path").value_or(QString());
        m_windowClass = entry.string("StartupWMClass").value_or(QString()).trimmed();
        if (const std::optional<QString> exec = entry.string("Exec"))
            addCommandLine(id, *exec);
        if (const std::optional<QString> tryExec = entry.string("TryExec"))
            addProgram(id, tryExec->trimmed(), false);
    }

private:
    void addCommandLine(const QString &id, const QString &exec)
    {
        const std::optional<QStringList> split = splitCommandLine(exec);
        if (!split)
            return;
        QStringList arguments;
        m_coded.clear();
        for (const QString &argument : *split) {
            if (std::optional<QString> kept = withoutFieldCodes(argument)) {
                if (hadFieldCodes(argument, *kept))
                    m_coded.insert(*kept);
                arguments.append(*kept);
            }
        }
        arguments = withoutEnv(arguments);
        if (!arguments.isEmpty())
            addProgram(id, arguments.constFirst(), true, arguments);
    }

    // Indexes program (as written in the entry) for id. With the command line, an interpreter is
    // replaced by the script it runs; without one (TryExec=) an interpreter is not indexed.
    void addProgram(const QString &id, const QString &program, bool followScript,
                    const QStringList &arguments = {})
    {
        const QString path = resolve(program, true);
        if (path.isEmpty() || isLauncher(baseName(program)) || isLauncher(baseName(path)))
            return;
        if (interpreterFor(baseName(program)) || interpreterFor(baseName(path))) {
            if (!followScript)
                return;
            // The name that is an interpreter's tells scriptArgument() which one it is.
            QStringList forScript = arguments;
            if (interpreterFor(baseName(path)))
                forScript[0] = path;
            const qsizetype at = ApplicationIndex::scriptArgumentIndex(forScript);
            if (at < 0)
                return;
            const QString scriptPath = resolve(arguments.at(at), false);
            if (!scriptPath.isEmpty() && !isLauncher(baseName(scriptPath))) {
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
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return;
        static const QRegularExpression shell(
                QStringLiteral("^#!\\s*\\S*/(sh|bash|dash|ksh|zsh)\\b"));
        static const QRegularExpression execLine(
                QStringLiteral("^\\s*exec\\s+([\"']?)([/$][^\\s\"';&|`<>()]*)\\1(\\s|$)"));
        // Most indexed programs are binaries: only a shell script's first line leads to reading on.
        const QByteArray head = file.peek(256);
        if (!shell.match(QString::fromUtf8(head.left(head.indexOf('\n')))).hasMatch())
            return;
        const QStringList lines = QString::fromUtf8(file.read(64 * 1024)).split(QLatin1Char('\n'));
        const QHash<QString, QString> variables = literalVariables(lines);
        for (const QString &line : lines) {
            const QRegularExpressionMatch match = execLine.match(line);
            if (!match.hasMatch())
                continue;
            const std::optional<QString> written = expanded(match.captured(2), variables);
            if (!written || !written->startsWith(QLatin1Char('/')))
                continue;
            const QString target = canonicalPath(*written);
            const QFileInfo info(target);
            if (target.isEmpty() || !info.isFile() || !info.isExecutable()
                || isLauncher(baseName(target)) || interpreterFor(baseName(target)))
                continue;
            m_execTargets.append({path, target, id, m_windowClass});
        }
    }

    // The script's variables that certainly hold one path-like value wherever an exec uses them:
    // assigned once in the whole script, at the top level, to a plain word built from literals
    // and such variables (`LIBDIR=/usr/lib/$APPNAME`). The environment is never consulted.
    static QHash<QString, QString> literalVariables(const QStringList &lines)
    {
        static const QRegularExpression anyAssignment(
                QStringLiteral("(?:^|[\\s;&|(])([A-Za-z_]\\w*)\\+?="));
        static const QRegularExpression topLevel(QStringLiteral(
                "^(?:export\\s+)?([A-Za-z_]\\w*)=(\"?)([^\\s\"'`;&|<>()\\\\]*)\\2\\s*$"));
        QHash<QString, int> assignments;
        for (const QString &line : lines) {
            for (auto it = anyAssignment.globalMatch(line); it.hasNext();)
                ++assignments[it.next().captured(1)];
        }
        QHash<QString, QString> variables;
        for (const QString &line : lines) {
            const QRegularExpressionMatch match = topLevel.match(line);
            if (!match.hasMatch() || assignments.value(match.captured(1)) != 1)
                continue;
            if (const std::optional<QString> value = expanded(match.captured(3), variables))
                variables.insert(match.captured(1), *value);
        }
        return variables;
    }

    // word with $NAME and ${NAME} replaced; nothing when it uses a variable not in variables.
    static std::optional<QString> expanded(const QString &word,
                                           const QHash<QString, QString> &variables)
    {
        static const QRegularExpression reference(
                QStringLiteral("\\$(?:\\{([A-Za-z_]\\w*)\\}|([A-Za-z_]\\w*))"));
        QString result;
        qsizetype from = 0;
        for (auto it = reference.globalMatch(word); it.hasNext();) {
            const QRegularExpressionMatch match = it.next();
            const QString name
                    = match.captured(1).isEmpty() ? match.captured(2) : match.captured(1);
            const auto value = variables.constFind(name);
            if (value == variables.cend())
                return std::nullopt;
            result += word.mid(from, match.capturedStart() - from) + *value;
            from = match.capturedEnd();
        }
        result += word.mid(from);
        if (result.contains(QLatin1Char('$')) || result.contains(QLatin1Char('{')))
            return std::nullopt;
        return result;
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
        return canonicalPath(path);
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

ApplicationIndex::ApplicationIndex(const QStringList &folders, QObject *parent)
    : QObject(parent)
    , m_folders(folders)
    , m_debounce(new QTimer(this))
    , m_poll(new QTimer(this))
{
    m_debounce->setSingleShot(true);
    m_debounce->setInterval(debounceMs);
    connect(m_debounce, &QTimer::timeout, this, &ApplicationIndex::rebuild);
    m_poll->setInterval(pollFallbackMs);
    connect(m_poll, &QTimer::timeout, this, &ApplicationIndex::rebuild);

    m_inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_inotify >= 0) {
        m_notifier = new QSocketNotifier(m_inotify, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this,
                &ApplicationIndex::readNotifications);
    }
    rebuild();
}

ApplicationIndex::~ApplicationIndex()
{
    if (m_inotify >= 0) {
        delete m_notifier;
        ::close(m_inotify);
    }
}

const QList<ApplicationIndex::Candidate> *
ApplicationIndex::candidatesFor(const QString &absolutePath) const
{
    auto found = m_candidates.constFind(absolutePath);
    if (found != m_candidates.cend())
        return &*found;
    // The kernel names a replaced executable (after an upgrade) "<path> (deleted)"; the program
    // at that path is still the same application's.
    static const QLatin1String deleted(" (deleted)");
    if (absolutePath.endsWith(deleted))
        found = m_candidates.constFind(absolutePath.chopped(deleted.size()));
    else if (const QString canonical = canonicalPath(absolutePath);
             !canonical.isEmpty() && canonical != absolutePath)
        found = m_candidates.constFind(canonical);
    return found != m_candidates.cend() ? &*found : nullptr;
}

QString ApplicationIndex::bundleIDForProgram(const QString &absolutePath) const
{
    const QList<Candidate> *candidates = candidatesFor(absolutePath);
    return candidates && candidates->size() == 1 ? candidates->constFirst().bundleID : QString();
}

bool ApplicationIndex::namesProgram(const QString &absolutePath) const
{
    return candidatesFor(absolutePath) != nullptr;
}

QString ApplicationIndex::bundleIDForCommand(const QString &absolutePath,
                                             const QStringList &arguments) const
{
    const QList<Candidate> *candidates = candidatesFor(absolutePath);
    if (!candidates)
        return {};
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        QString windowClass;
        if ((arguments[i] == QLatin1String("-class") || arguments[i] == QLatin1String("--class"))
            && i + 1 < arguments.size())
            windowClass = arguments[i + 1];
        else if (arguments[i].startsWith(QLatin1String("--class=")))
            windowClass = arguments[i].mid(8);
        else
            continue;
        const QSet<QString> owners = m_bundleIDsForWindowClass.value(windowClass);
        if (owners.size() == 1)
            return *owners.cbegin();
        break;
    }
    if (candidates->size() == 1)
        return candidates->constFirst().bundleID;

    // The entries whose Exec= arguments the process was given, those with the most of them first.
    QList<const Candidate *> best;
    qsizetype bestCount = -1;
    for (const Candidate &candidate : *candidates) {
        const bool given = std::all_of(candidate.arguments.cbegin(), candidate.arguments.cend(),
                                       [&](const QString &a) { return arguments.contains(a); });
        if (!given || candidate.arguments.size() < bestCount)
            continue;
        if (candidate.arguments.size() > bestCount)
            best.clear();
        bestCount = candidate.arguments.size();
        best.append(&candidate);
    }
    if (best.size() == 1)
        return best.constFirst()->bundleID;

    // No argument tells them apart: the entry named after the program, else the one that runs it
    // without options; never a guess between equals.
    const QString name = absolutePath.mid(absolutePath.lastIndexOf(QLatin1Char('/')) + 1)
                                 .remove(QLatin1String(" (deleted)"));
    const auto pickOne = [&best](const auto &test) {
        const Candidate *picked = nullptr;
        for (const Candidate *candidate : std::as_const(best)) {
            if (!test(*candidate))
                continue;
            if (picked)
                return static_cast<const Candidate *>(nullptr);
            picked = candidate;
        }
        return picked;
    };
    const Candidate *picked = pickOne([&name](const Candidate &c) {
        const QString last = c.bundleID.mid(c.bundleID.lastIndexOf(QLatin1Char('.')) + 1);
        return c.bundleID.compare(name, Qt::CaseInsensitive) == 0
                || last.compare(name, Qt::CaseInsensitive) == 0
                || c.windowClass.compare(name, Qt::CaseInsensitive) == 0;
    });
    if (!picked)
        picked = pickOne([](const Candidate &c) { return !c.hasOptions; });
    return picked ? picked->bundleID : QString();
}

bool ApplicationIndex::isSharedProgram(const QString &absolutePath)
{
    const QString name = baseName(absolutePath);
    return isLauncher(name) || interpreterFor(name) != nullptr;
}

QStringList ApplicationIndex::programsForBundleID(const QString &bundleID) const
{
    return m_programsForBundleID.value(bundleID);
}

QStringList ApplicationIndex::scriptsExecuting(const QString &program) const
{
    return m_scriptsExecuting.value(program);
}

bool ApplicationIndex::hasApplication(const QString &bundleID) const
{
    return m_bundleIDs.contains(bundleID);
}

QString ApplicationIndex::scriptArgument(const QStringList &arguments)
{
    const qsizetype at = scriptArgumentIndex(arguments);
    return at < 0 ? QString() : arguments.at(at);
}

qsizetype ApplicationIndex::scriptArgumentIndex(const QStringList &arguments)
{
    if (arguments.isEmpty())
        return -1;
    const Interpreter *interpreter = interpreterFor(baseName(arguments.constFirst()));
    if (!interpreter)
        return -1;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == QLatin1String("--"))
            return i + 1 < arguments.size() ? i + 1 : -1;
        if (argument == QLatin1String("-"))
            return -1; // standard input
        // Only shells take options that start with "+" (set +o, +x).
        const bool shortOption
                = (argument.startsWith(QLatin1Char('-'))
                   || (interpreter->plusOptions && argument.startsWith(QLatin1Char('+'))))
                && !argument.startsWith(QLatin1String("--"));
        if (!shortOption && !argument.startsWith(QLatin1String("--")))
            return i;
        if (interpreter->inlineOptions.contains(argument.section(QLatin1Char('='), 0, 0)))
            return -1;
        if (shortOption && argument.startsWith(QLatin1Char('-'))) {
            for (qsizetype k = 1; k < argument.size(); ++k) {
                if (interpreter->inlineLetters.contains(argument.at(k)))
                    return -1;
                // The rest of a cluster after a value-taking letter is that letter's value.
                if (interpreter->valueOptions.contains(QStringLiteral("-") + argument.at(k)))
                    break;
            }
        }
        if (interpreter->valueOptions.contains(argument))
            ++i;
    }
    return -1;
}

void ApplicationIndex::rebuild()
{
    watchFolders();

    IndexBuilder builder;
    DesktopEntry::forEachApplication(
            m_folders, [&builder](const QString &id, const QString &, const DesktopEntry &entry) {
                builder.addEntry(id, entry);
            });
    builder.addExecTargets();
    const bool differs = builder.candidates != m_candidates
            || builder.programsForBundleID != m_programsForBundleID
            || builder.bundleIDs != m_bundleIDs || builder.scriptsExecuting != m_scriptsExecuting;
    m_candidates = std::move(builder.candidates);
    m_programsForBundleID = std::move(builder.programsForBundleID);
    m_bundleIDs = std::move(builder.bundleIDs);
    m_scriptsExecuting = std::move(builder.scriptsExecuting);
    m_bundleIDsForWindowClass.clear();
    for (const QList<Candidate> &candidates : std::as_const(m_candidates)) {
        for (const Candidate &candidate : candidates) {
            if (!candidate.windowClass.isEmpty())
                m_bundleIDsForWindowClass[candidate.windowClass].insert(candidate.bundleID);
        }
    }
    if (differs)
        Q_EMIT changed();
}

void ApplicationIndex::watchFolders()
{
    if (m_inotify < 0) {
        m_poll->start();
        return;
    }
    for (auto it = m_watches.cbegin(); it != m_watches.cend(); ++it)
        ::inotify_rm_watch(m_inotify, it.key());
    m_watches.clear();

    bool complete = true;
    for (const QString &folder : m_folders) {
        const Inotify::AncestorWatch placed = Inotify::watchPathOrAncestor(
                m_inotify, QFile::encodeName(QDir::cleanPath(folder)), watchMask, watchMask);
        if (placed.wd < 0) {
            complete = false;
            continue;
        }
        // Folders can share an ancestor, or be one another's, and then share a descriptor.
        Watch &watch = m_watches[placed.wd];
        if (placed.next.isEmpty())
            watch.isFolder = true;
        else
            watch.towards.append(placed.next);
    }
    // Without a watch on every folder (no such folder at all, or the inotify limit reached),
    // changes there are found by looking again every few seconds.
    if (!complete)
        m_poll->start();
    else
        m_poll->stop();
}

void ApplicationIndex::readNotifications()
{
    bool relevant = false;
    Inotify::forEachEvent(m_inotify, [&](const inotify_event &event, const QByteArray &name) {
        const auto watch = m_watches.constFind(event.wd);
        if (event.mask & IN_Q_OVERFLOW)
            relevant = true;
        else if (watch == m_watches.cend())
            return; // a watch removed at the last re-arming
        else if ((event.mask & (IN_DELETE_SELF | IN_MOVE_SELF))
                 || (watch->isFolder && name.endsWith(".desktop")) || watch->towards.contains(name))
            relevant = true;
    });
    if (relevant && !m_debounce->isActive())
        m_debounce->start(debounceMs);
}
