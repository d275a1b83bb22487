// Implementation notes
//
// Unit names. systemd's desktop-integration convention escapes the identifier with
// systemd-escape, so a '-' inside it reads "\x2d" and every literal '-' separates fields. The
// parsing rule, after "app-" and the ".scope"/".service" suffix are removed:
// - a scope ends in "-<random>": everything after the last literal '-' is dropped;
//   a service may end in "@<random>": everything from the first '@' is dropped;
// - what is left is "[<launcher>-]<id>". With no literal '-' it is the identifier. Otherwise the
//   first field is the launcher (gnome, kde, flatpak, ...) and the rest, joined again with '-',
//   is the identifier: "app-gnome-firefox-esr-1234.scope" names firefox-esr even from a launcher
//   that does not escape.
// - The one case that rule cannot settle is an unescaped identifier with a '-' and no launcher
//   ("app-firefox-esr-1234.scope"). There the whole text wins when the index knows it as an
//   installed application and the shorter one is not.
// Snap units are "snap.<name>.<app>-<uuid>.scope" (older snapd: ".<uuid>"); the desktop file of
// a snap's application is <name>_<app>.desktop, so that is its identifier.
//
// Every path component of every cgroup line is looked at, innermost first, so a process in a
// sub-group of an application's scope still counts, and a cgroup v1 name=systemd line works like
// the unified one.

#include "appidentityresolver_linux.h"

#include "applicationindex_linux.h"
#include "learnedprograms_linux.h"
#include "procreader_linux.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QStringList>

#include <glib.h>

namespace {

// Undoes systemd's \xNN escaping; the bytes are UTF-8.
QString unescapeUnitText(const QString &text)
{
    const QByteArray in = text.toUtf8();
    QByteArray out;
    out.reserve(in.size());
    for (qsizetype i = 0; i < in.size(); ++i) {
        if (in[i] == '\\' && i + 3 < in.size() && in[i + 1] == 'x') {
            bool ok = false;
            const int byte = in.mid(i + 2, 2).toInt(&ok, 16);
            if (ok) {
                out.append(char(byte));
                i += 3;
                continue;
            }
        }
        out.append(in[i]);
    }
    return QString::fromUtf8(out);
}

QString desktopFileID(const QByteArray &path)
{
    QString name = QString::fromUtf8(path);
    name = name.mid(name.lastIndexOf(QLatin1Char('/')) + 1);
    static const QString suffix = QStringLiteral(".desktop");
    if (!name.endsWith(suffix) || name.size() == suffix.size())
        return {};
    name.chop(suffix.size());
    return name;
}

QString bundleIDFromSnapUnit(const QString &unitName)
{
    static const QRegularExpression snapScope(QStringLiteral(
            R"(^snap\.([a-z0-9][a-z0-9-]*(?:_[a-z0-9]+)?)\.([A-Za-z0-9-]+?)[.-])"
            R"([0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}\.scope$)"));
    static const QRegularExpression otherScope(QStringLiteral(
            R"(^snap\.([a-z0-9][a-z0-9-]*(?:_[a-z0-9]+)?)\.([A-Za-z0-9-]+)[.-][^.-]+\.scope$)"));
    QRegularExpressionMatch match = snapScope.match(unitName);
    if (!match.hasMatch())
        match = otherScope.match(unitName);
    if (!match.hasMatch())
        return {};
    return match.captured(1) + QLatin1Char('_') + match.captured(2);
}

} // namespace

AppIdentityResolver::AppIdentityResolver(const ProcReader &reader, const ApplicationIndex *index,
                                         const LearnedPrograms *learned)
    : m_reader(reader)
    , m_index(index)
    , m_learned(learned)
{
}

QString AppIdentityResolver::bundleIDFromUnitName(const QString &unitName,
                                                  const KnownBundleID &isKnown)
{
    if (unitName.startsWith(QLatin1String("snap.")))
        return bundleIDFromSnapUnit(unitName);
    if (!unitName.startsWith(QLatin1String("app-")))
        return {};

    QString rest;
    static const QString scope = QStringLiteral(".scope");
    static const QString service = QStringLiteral(".service");
    if (unitName.endsWith(scope)) {
        rest = unitName.mid(4, unitName.size() - 4 - scope.size());
        const qsizetype dash = rest.lastIndexOf(QLatin1Char('-'));
        if (dash <= 0)
            return {};
        rest.truncate(dash);
    } else if (unitName.endsWith(service)) {
        rest = unitName.mid(4, unitName.size() - 4 - service.size());
        const qsizetype at = rest.indexOf(QLatin1Char('@'));
        if (at >= 0)
            rest.truncate(at);
    } else {
        return {};
    }

    const qsizetype firstDash = rest.indexOf(QLatin1Char('-'));
    if (firstDash < 0)
        return unescapeUnitText(rest);
    const QString withoutLauncher = unescapeUnitText(rest.mid(firstDash + 1));
    if (isKnown && !isKnown(withoutLauncher)) {
        const QString whole = unescapeUnitText(rest);
        if (isKnown(whole))
            return whole;
    }
    return withoutLauncher;
}

QString AppIdentityResolver::bundleIDFromCgroup(const QByteArray &cgroupFile,
                                                const KnownBundleID &isKnown)
{
    // Lines are "hierarchy:controllers:path".
    for (const QByteArray &line : cgroupFile.split('\n')) {
        const qsizetype first = line.indexOf(':');
        const qsizetype second = first < 0 ? -1 : line.indexOf(':', first + 1);
        if (second < 0)
            continue;
        const QStringList components = QString::fromUtf8(line.mid(second + 1))
                                               .split(QLatin1Char('/'), Qt::SkipEmptyParts);
        for (auto it = components.crbegin(); it != components.crend(); ++it) {
            const QString id = bundleIDFromUnitName(*it, isKnown);
            if (!id.isEmpty())
                return id;
        }
    }
    return {};
}

QString AppIdentityResolver::bundleIDFromFlatpakInfo(const QByteArray &keyFile)
{
    if (keyFile.isEmpty())
        return {};
    GKeyFile *file = g_key_file_new();
    QString id;
    if (g_key_file_load_from_data(file, keyFile.constData(), gsize(keyFile.size()), G_KEY_FILE_NONE,
                                  nullptr)) {
        if (gchar *name = g_key_file_get_string(file, "Application", "name", nullptr)) {
            id = QString::fromUtf8(name).trimmed();
            g_free(name);
        }
    }
    g_key_file_free(file);
    return id;
}

QString AppIdentityResolver::bundleIDFromEnvironment(const QByteArray &environment, qint64 pid)
{
    // GIO_LAUNCHED_DESKTOP_FILE is inherited by everything the application starts; only the
    // process it was launched as (the PID GLib recorded) is that application by this rule.
    const auto launchedFile
            = ProcReader::environmentValue(environment, "GIO_LAUNCHED_DESKTOP_FILE");
    const auto launchedPid
            = ProcReader::environmentValue(environment, "GIO_LAUNCHED_DESKTOP_FILE_PID");
    if (launchedFile && launchedPid && launchedPid->toLongLong() == pid) {
        const QString id = desktopFileID(*launchedFile);
        if (!id.isEmpty())
            return id;
    }
    if (const auto hint = ProcReader::environmentValue(environment, "BAMF_DESKTOP_FILE_HINT")) {
        const QString id = desktopFileID(*hint);
        if (!id.isEmpty())
            return id;
    }
    if (const auto flatpakID = ProcReader::environmentValue(environment, "FLATPAK_ID")) {
        if (!flatpakID->isEmpty())
            return QString::fromUtf8(*flatpakID);
    }
    return {};
}

std::optional<AppIdentityResolver::Program> AppIdentityResolver::program(qint64 pid) const
{
    const QString executable = m_reader.executable(pid);
    if (executable.isEmpty())
        return std::nullopt;
    QStringList arguments;
    for (const QByteArray &argument : m_reader.commandLine(pid))
        arguments.append(QString::fromLocal8Bit(argument));
    // No arguments at all: the process is inside its execve, and the image may not be final.
    if (arguments.isEmpty() || m_reader.executable(pid) != executable)
        return std::nullopt;
    // The kernel puts the interpreter's own path first for a #! script, but a shell may show a
    // bare name or a login "-bash"; the executable link is the reliable name.
    arguments[0] = executable;
    const qsizetype at = ApplicationIndex::scriptArgumentIndex(arguments);
    if (at < 0)
        return Program{executable, arguments.mid(1)};
    QString script = arguments.at(at);
    if (!script.startsWith(QLatin1Char('/'))) {
        const QString folder = m_reader.workingFolder(pid);
        if (folder.isEmpty())
            return Program{executable, arguments.mid(1)};
        script = folder + QLatin1Char('/') + script;
    }
    const QString canonical = QFileInfo(script).canonicalFilePath();
    return Program{canonical.isEmpty() ? script : canonical, arguments.mid(at + 1)};
}

QString AppIdentityResolver::bundleIDFromProgram(const std::optional<Program> &running) const
{
    if (!m_index || !running)
        return {};
    if (m_index->namesProgram(running->path))
        return m_index->bundleIDForCommand(running->path, running->arguments);
    return m_learned ? m_learned->bundleIDForProgram(running->path) : QString();
}

QString AppIdentityResolver::bundleID(qint64 pid, const std::optional<Program> &running) const
{
    const KnownBundleID isKnown = [this](const QString &id) {
        return m_index && !m_index->programsForBundleID(id).isEmpty();
    };
    QString id = bundleIDFromCgroup(m_reader.cgroup(pid), isKnown);
    if (id.isEmpty())
        id = bundleIDFromFlatpakInfo(m_reader.flatpakInfo(pid));
    if (id.isEmpty())
        id = bundleIDFromEnvironment(m_reader.environment(pid), pid);
    if (id.isEmpty())
        id = bundleIDFromProgram(running);
    return id;
}
