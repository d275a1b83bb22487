#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class ApplicationIndex;
class LearnedPrograms;
class ProcReader;

// Names the application a process belongs to by its own evidence, first hit wins:
// 1. the systemd unit of its cgroup (app-[<launcher>-]<id>-<random>.scope,
//    app-[<launcher>-]<id>[@<random>].service, app-flatpak-<id>-<random>.scope,
//    snap.<name>.<app>-<random>.scope);
// 2. the [Application] name= of /.flatpak-info in its file system;
// 3. its launch environment: GIO_LAUNCHED_DESKTOP_FILE when GIO_LAUNCHED_DESKTOP_FILE_PID is this
//    process, BAMF_DESKTOP_FILE_HINT, FLATPAK_ID;
// 4. its executable, or the script an interpreter runs, with its arguments, looked up in the
//    application index, else among the learned programs.
// Returns the bundle identifier (desktop-file ID without ".desktop"), or an empty string.
class AppIdentityResolver
{
public:
    // Whether an identifier names an installed application; used only to settle a unit name
    // written without escaping, where a launcher prefix and a '-' in the identifier look alike.
    using KnownBundleID = std::function<bool(const QString &bundleID)>;

    // The program a process runs: the script when an interpreter runs one, else its executable.
    struct Program
    {
        QString path;
        QStringList arguments; // those after the program or script
    };

    // The index may be null: then rule 4 never answers. So may the learned programs.
    AppIdentityResolver(const ProcReader &reader, const ApplicationIndex *index,
                        const LearnedPrograms *learned = nullptr);

    // The program is read first: a launcher script shows what it runs only until its own exec.
    QString bundleID(qint64 pid) const { return bundleID(pid, program(pid)); }
    // With the program the caller has read already; none (a look inside an execve) names nothing
    // by program, and is never read again here: a later read could show what the script execs.
    QString bundleID(qint64 pid, const std::optional<Program> &running) const;
    // None while the process is inside an execve (no arguments yet, or its image changed while
    // they were read).
    std::optional<Program> program(qint64 pid) const;

    static QString bundleIDFromCgroup(const QByteArray &cgroupFile,
                                      const KnownBundleID &isKnown = {});
    static QString bundleIDFromUnitName(const QString &unitName, const KnownBundleID &isKnown = {});
    static QString bundleIDFromFlatpakInfo(const QByteArray &keyFile);
    static QString bundleIDFromEnvironment(const QByteArray &environment, qint64 pid);

private:
    QString bundleIDFromProgram(const std::optional<Program> &running) const;

    const ProcReader &m_reader;
    const ApplicationIndex *m_index = nullptr;
    const LearnedPrograms *m_learned = nullptr;
};
