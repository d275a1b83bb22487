#pragma once

#include "execguardprotocol.h"
#include "fanotifyguard.h"
#include "guardrules.h"
#include "guardstore.h"

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QString>

#include <chrono>
#include <memory>

// The guard's control thread: the users' socket, their states (kept in the store and turned into
// rules for the answering thread), the marks on every file system as mounts come and go, the log,
// and readiness and stopping as systemd expects. One poll loop; slow work (reading the programs a
// user names) happens here, never on the answering thread.
class GuardServer
{
public:
    struct Options
    {
        QString socketPath;
        QString stateFolder;
        std::chrono::milliseconds bound{1500};
        double recoveryWait = 24 * 3600; // seconds from a recovery code to every phone unpaired
    };

    explicit GuardServer(const Options &options);
    ~GuardServer();

    // Serves until SIGTERM or SIGINT (which the caller has blocked in every thread); the exit
    // status.
    int run();

private:
    struct Client
    {
        int fd = -1;
        uint uid = 0;
        uint gid = 0;
    };

    bool listen(QString *error);
    void markMounts();
    void accept();
    void receive(Client &client);
    void apply(const Client &client, const ExecGuardProtocol::State &state);
    void apply(const Client &client, const ExecGuardProtocol::Record &record);
    void apply(const Client &client, const ExecGuardProtocol::Pairing &pairing);
    // Times the sessions of the users whose Vorn forwarded records: refusals start and end by
    // them. The seconds until one may change by itself, at most a minute.
    double settleSessions();
    void store(uint uid, const UserState &next);
    SessionClock::Reading readClock() const;
    void publishRules();
    void drainGuard();
    void send(const Client &client, const QByteArray &message);
    QByteArray statusFor(uint uid) const;

    Options m_options;
    GuardStore m_store;
    std::unique_ptr<FanotifyGuard> m_guard;
    QHash<uint, UserState> m_states;
    QHash<uint, SessionDecision> m_decisions; // of the users with records
    QHash<uint, bool> m_said; // "blocking" as each user's client last said it
    QByteArray m_bootID;
    QHash<FileKey, FileContent> m_known;
    QList<Client> m_clients;
    QSet<QByteArray> m_markedDevices;
    int m_listenFd = -1;
    int m_mountsFd = -1;
    int m_signalFd = -1;
};
