#include "programs_linux.h"

#include <QFile>
#include <QHash>
#include <QSet>

#include <array>
#include <climits>
#include <cstdlib>

namespace {

// How one family of interpreters marks its script: options that make it run inline code or
// standard input instead of a file, and options that take the following argument as their value.
struct Interpreter
{
    QStringList names; // without a version suffix (python3.11 is a python)
    QLatin1String inlineLetters; // short options, alone or in a cluster such as "-ec"
    QStringList inlineOptions; // long options
    QStringList valueOptions;
    bool plusOptions = false;
};

const Interpreter *interpreterFor(const QString &name)
{
    static const std::array<Interpreter, 8> interpreters{{
            {{"sh", "ash", "bash", "dash", "zsh", "ksh", "mksh", "pdksh", "rbash", "yash", "csh",
              "tcsh", "fish"},
             QLatin1String("cs"),
             {QStringLiteral("--command")},
             {QStringLiteral("-o"), QStringLiteral("+o"), QStringLiteral("-O"),
              QStringLiteral("+O"), QStringLiteral("--rcfile"), QStringLiteral("--init-file"),
              QStringLiteral("-C"), QStringLiteral("--init-command")},
             true},
            {{"python", "pypy"},
             QLatin1String("cm"),
             {},
             {QStringLiteral("-W"), QStringLiteral("-X"), QStringLiteral("-Q"),
              QStringLiteral("--check-hash-based-pycs")}},
            {{"perl"}, QLatin1String("eE"), {}, {QStringLiteral("-I")}},
            {{"ruby"},
             QLatin1String("e"),
             {},
             {QStringLiteral("-I"), QStringLiteral("-r"), QStringLiteral("-C"),
              QStringLiteral("-E")}},
            {{"node", "nodejs"},
             QLatin1String("ep"),
             {QStringLiteral("--eval"), QStringLiteral("--print")},
             {QStringLiteral("-r"), QStringLiteral("--require"), QStringLiteral("--import"),
              QStringLiteral("--loader"), QStringLiteral("--experimental-loader"),
              QStringLiteral("-C"), QStringLiteral("--conditions"),
              QStringLiteral("--input-type")}},
            {{"lua", "luajit"},
             QLatin1String(""),
             {},
             {QStringLiteral("-e"), QStringLiteral("-l")}},
            {{"tclsh", "wish"}, QLatin1String(""), {}, {QStringLiteral("-encoding")}},
            {{"gjs", "gjs-console"},
             QLatin1String("c"),
             {QStringLiteral("--command")},
             {QStringLiteral("-I"), QStringLiteral("--include-path")}},
    }};
    static const QHash<QString, const Interpreter *> byName = [] {
        QHash<QString, const Interpreter *> names;
        for (const Interpreter &interpreter : interpreters) {
            for (const QString &name : interpreter.names)
                names.insert(name, &interpreter);
        }
        return names;
    }();
    qsizetype end = name.size();
    while (end > 0 && (name.at(end - 1).isDigit() || name.at(end - 1) == QLatin1Char('.')))
        --end;
    return byName.value(name.left(end));
}

} // namespace

namespace Programs {

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

bool isInterpreter(const QString &name)
{
    return interpreterFor(name) != nullptr;
}

bool isShared(const QString &path)
{
    const QString name = baseName(path);
    return isLauncher(name) || isInterpreter(name);
}

QString canonicalPath(const QString &path)
{
    char resolved[PATH_MAX];
    if (!::realpath(QFile::encodeName(path).constData(), resolved))
        return {};
    return QFile::decodeName(resolved);
}

qsizetype scriptArgumentIndex(const QStringList &arguments)
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

} // namespace Programs
