#pragma once

#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class QThread;

// Names a process by the content of the program it runs: a renamed copy, a hard link or a moved
// file of a blocked application's program, which no entry and no learned program names.
//
// Promises:
// - Every file is read on the matcher's own thread; lookAt() only hands the work over, so the
//   caller's enforcement is never held up by a read or a hash. What was read of a file is kept by
//   its device, inode, size, mtime and ctime, so a file is read once however often it runs.
// - A process matches when the file it runs, read through /proc/PID/exe (so a deleted or moved
//   file still counts), is one of the programs by device and inode, or has the same ELF build-id,
//   or, for a program without one, the same size and SHA-256.
// - Interpreters and launchers never match, and a file the system installed (root's, under the
//   system's folders) only by device and inode: a copy there needs root, which only the exec
//   guard answers.
// - A file that cannot be read is left alone and logged once.
class ProgramIdentityMatcher : public QObject
{
    Q_OBJECT

public:
    explicit ProgramIdentityMatcher(const QString &procRoot, QObject *parent = nullptr);
    ~ProgramIdentityMatcher() override;

    // The programs of the blocked applications, by bundle identifier; none turns matching off.
    void setPrograms(const QHash<QString, QStringList> &programs);
    bool isActive() const { return !m_programs.isEmpty(); }
    // Compares the program the process runs; executable: its path as last read, for its name.
    void lookAt(qint64 pid, quint64 startTime, const QString &executable);

Q_SIGNALS:
    // Emitted on this object's thread.
    void matched(qint64 pid, quint64 startTime, const QString &bundleID);

private:
    struct Reader;

    QHash<QString, QStringList> m_programs;
    QThread *m_thread = nullptr;
    QObject *m_context = nullptr; // lives on m_thread: the work is queued to it
    std::shared_ptr<Reader> m_reader; // used on m_thread only
};
