#include "deployedprograms_linux.h"

#include "xdgpaths_linux.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace {

// Executable regular files directly in folder, and the given files relative to root.
void addPrograms(QStringList &programs, const QString &root, const QStringList &folders,
                 const QStringList &files = {})
{
    QStringList candidates;
    for (const QString &folder : folders) {
        const QDir dir(root + '/' + folder);
        for (const QString &name : dir.entryList(QDir::Files | QDir::Executable))
            candidates.append(dir.filePath(name));
    }
    for (const QString &file : files)
        candidates.append(root + '/' + file);
    for (const QString &candidate : std::as_const(candidates)) {
        const QFileInfo info(candidate);
        const QString canonical = info.canonicalFilePath();
        if (info.isFile() && info.isExecutable() && !canonical.isEmpty()
            && !programs.contains(canonical))
            programs.append(canonical);
    }
}

} // namespace

namespace DeployedPrograms {

Roots defaultRoots()
{
    return {{XdgPaths::dataHome() + QStringLiteral("/flatpak"), QStringLiteral("/var/lib/flatpak")},
            QStringLiteral("/snap")};
}

QStringList forBundleID(const QString &bundleID, const Roots &roots)
{
    QStringList programs;
    if (bundleID.isEmpty() || bundleID.contains(QLatin1Char('/')) || bundleID.startsWith('.'))
        return programs;
    for (const QString &installation : roots.flatpakInstallations) {
        const QString active = installation + "/app/" + bundleID + "/current/active";
        // The metadata's command= is a name in /app/bin or a path under /app (the files folder).
        QStringList command;
        QFile metadata(active + "/metadata");
        if (metadata.open(QIODevice::ReadOnly)) {
            static const QRegularExpression line(QStringLiteral("^command=(.+)$"),
                                                 QRegularExpression::MultilineOption);
            const QString written
                    = line.match(QString::fromUtf8(metadata.read(64 * 1024))).captured(1).trimmed();
            if (written.startsWith(QLatin1String("/app/")))
                command.append(written.mid(5));
            else if (!written.isEmpty() && !written.contains(QLatin1Char('/')))
                command.append("bin/" + written);
        }
        addPrograms(programs, active + "/files", {QStringLiteral("bin")}, command);
    }
    const qsizetype underscore = bundleID.indexOf(QLatin1Char('_'));
    if (underscore > 0 && !roots.snaps.isEmpty()) {
        const QString current = roots.snaps + '/' + bundleID.left(underscore) + "/current";
        QFile yaml(current + "/meta/snap.yaml");
        QStringList commands;
        if (yaml.open(QIODevice::ReadOnly)) {
            static const QRegularExpression command(
                    QStringLiteral(
                            "^\\s+command:\\s*[\"']?(?:\\$SNAP/|\\$\\{SNAP\\}/)?([^\\s\"']+)"),
                    QRegularExpression::MultilineOption);
            for (auto it = command.globalMatch(QString::fromUtf8(yaml.read(256 * 1024)));
                 it.hasNext();)
                commands.append(it.next().captured(1));
        }
        addPrograms(programs, current, {QStringLiteral("bin"), QStringLiteral("usr/bin")},
                    commands);
    }
    return programs;
}

} // namespace DeployedPrograms
