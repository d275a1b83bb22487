#pragma once

#include <QHash>
#include <QObject>
#include <QStringList>

class QSocketNotifier;
class QTimer;

// Rings when one of a set of program files is opened. The kernel opens a program's file during
// execve (and a script's file when its interpreter starts), so the bell rings at the start of
// each launch of those programs, before the new image runs. Also rings for plain reads of the
// files, which costs a needless scan and nothing more. Lives on the thread that creates it.
class ExecDoorbell : public QObject
{
    Q_OBJECT

public:
    explicit ExecDoorbell(QObject *parent = nullptr);
    ~ExecDoorbell() override;

    // Replaces the watched files. Missing files are skipped; a file that is replaced or deleted
    // later is watched again under its path once it exists.
    void setPrograms(const QStringList &paths);
    QStringList watchedPrograms() const { return m_watches.values(); }
    // Takes the openings queued so far, without waiting for the event loop; rang() is not
    // emitted for them. any: also after lost events, when any program may have been opened.
    struct Openings
    {
        bool any = false;
        QStringList programs;
    };
    Openings takeOpenings();

Q_SIGNALS:
    // opened: the programs opened (empty after lost events: any of them may have been).
    void rang(const QStringList &opened);

private:
    void arm();
    void readEvents();

    int m_inotify = -1;
    QSocketNotifier *m_notifier = nullptr;
    QTimer *m_rearm = nullptr;
    QStringList m_programs;
    QHash<int, QString> m_watches;
};
