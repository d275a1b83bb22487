#pragma once

#include "guardrules.h"

#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// The exec guard's kernel side: a fanotify group of class FAN_CLASS_CONTENT that is asked, for
// each marked file system, whether an exec may open its program (FAN_OPEN_EXEC_PERM).
//
// Implementation notes:
// - The kernel waits for the answer without a time limit: a stuck answer stalls every exec on the
//   computer. So the answering thread only decides and replies. It reads the exec'ing process's
//   uids from /proc (not a marked file system), the file's cached attributes (statx with
//   AT_STATX_DONT_SYNC, which never asks a FUSE or network server), and the content cache. It
//   never reads a program, never logs, never execs.
// - A file whose content must be read (build-id, or SHA-256 of a same-size file) goes to a worker
//   thread that reads through the event's fd. If no answer is given within the bound, the
//   answering thread allows it; the worker still finishes and caches what it read, so the next
//   exec of that file is decided at once. With too many files waiting, new ones are allowed.
// - Refusals and notes (errors, each kind once) wait in a queue for the control thread, which is
//   woken through wakeFd().
// - When the group's fd closes (the guard exits or dies), the kernel allows what is pending.
class FanotifyGuard
{
public:
    struct Refusal
    {
        uint uid = 0;
        QString id;
        QString path;
        qint64 pid = 0;
    };

    explicit FanotifyGuard(std::chrono::milliseconds bound);
    ~FanotifyGuard();
    FanotifyGuard(const FanotifyGuard &) = delete;
    FanotifyGuard &operator=(const FanotifyGuard &) = delete;

    bool open(QString *error);
    // A FAN_MARK_FILESYSTEM mark on the file system mounted at mountPoint.
    bool mark(const QString &mountPoint, QString *error);
    void setRules(std::shared_ptr<const GuardRules> rules);
    void start();
    // Allows what waits and ends the threads. False when a worker is still reading a slow file:
    // then the object must be left alive until the process exits.
    bool stop();

    // Readable while refusals or notes are waiting.
    int wakeFd() const { return m_wakeFd; }
    void take(QList<Refusal> *refusals, QStringList *notes);

private:
    struct Job;
    using Clock = std::chrono::steady_clock;

    void answerLoop();
    void workerLoop();
    void handle(int fd, qint64 pid);
    void answer(int fd, bool allow);
    void finish(Job &job, const GuardRules::Decision &decision);
    void note(const QString &kind, const QString &text);
    void refused(uint uid, const QString &id, int fd, qint64 pid);
    void wake();

    const std::chrono::milliseconds m_bound;
    int m_fanotifyFd = -1;
    int m_stopFd = -1;
    int m_wakeFd = -1;
    qint64 m_selfPid = 0;

    std::mutex m_rulesMutex;
    std::shared_ptr<const GuardRules> m_rules;

    std::mutex m_cacheMutex;
    QHash<FileKey, FileContent> m_cache;

    std::mutex m_jobsMutex;
    std::condition_variable m_jobsChanged;
    std::deque<std::shared_ptr<Job>> m_jobs; // for the workers
    bool m_stopping = false;
    std::deque<std::shared_ptr<Job>> m_waiting; // answering thread only: by deadline

    std::mutex m_outputMutex;
    QList<Refusal> m_refusals;
    QStringList m_notes;
    QSet<QString> m_notedKinds;

    std::atomic<int> m_busy{0};
    std::thread m_answerThread;
    std::vector<std::thread> m_workers;
};
