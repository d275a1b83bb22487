#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

#include <functional>

// Programs that no application entry names, learned from what running applications exec: a
// launcher script named by an entry that execs /usr/lib/chromium/chromium teaches that this
// binary is Chromium's, so a later direct start of it is identified too.
//
// Promises:
// - A program learned for two applications belongs to neither from then on.
// - What is learned is kept in $XDG_CACHE_HOME/vorn/learned-programs.json (written atomically,
//   mode 0600) and read back at construction; an unreadable or malformed file counts as empty.
// - prune() forgets what no longer fits the entries.
class LearnedPrograms
{
public:
    explicit LearnedPrograms(const QString &file = defaultFile());

    static QString defaultFile();

    // The application the program was learned for; empty when none, or when it is ambiguous.
    QString bundleIDForProgram(const QString &path) const;
    QStringList programsForBundleID(const QString &bundleID) const;
    void learn(const QString &path, const QString &bundleID);
    // Forgets programs that an entry names now and applications that are no longer installed.
    void prune(const std::function<bool(const QString &path)> &isNamed,
               const std::function<bool(const QString &bundleID)> &isInstalled);

private:
    void save() const;

    QString m_file;
    QHash<QString, QString> m_programs; // an ambiguous program maps to an empty string
};
