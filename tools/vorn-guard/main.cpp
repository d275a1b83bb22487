#include "guardserver.h"
#include "phonepairing.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <pthread.h>
#include <unistd.h>

// vorn-guard: run as root with no arguments (the systemd unit vorn-guard.service does), it
// refuses each user's blocked programs until that user's Vorn reports blocking off. The socket
// and state folder can be moved with VORN_GUARD_SOCKET and VORN_GUARD_STATE_DIR (tests), the time
// allowed for identifying a program with VORN_GUARD_BOUND_MS.
int main(int argc, char *argv[])
{
    if (argc > 1) {
        std::fprintf(stderr,
                     "usage: vorn-guard (no arguments; run as root by vorn-guard.service)\n");
        return 2;
    }
    if (::geteuid() != 0) {
        std::fprintf(stderr,
                     "vorn-guard: needs root (it answers every program start through fanotify)\n");
        return 1;
    }
    // Blocked before any thread starts, so that only the control thread's signalfd sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    QCoreApplication application(argc, argv);
    GuardServer::Options options;
    options.socketPath
            = qEnvironmentVariable("VORN_GUARD_SOCKET", QStringLiteral("/run/vorn-guard.socket"));
    options.stateFolder
            = qEnvironmentVariable("VORN_GUARD_STATE_DIR", QStringLiteral("/var/lib/vorn-guard"));
    bool isNumber = false;
    const int bound = qEnvironmentVariableIntValue("VORN_GUARD_BOUND_MS", &isNumber);
    if (isNumber && bound > 0)
        options.bound = std::chrono::milliseconds(bound);
    options.recoveryWait = PhonePairing::recoveryWaitSeconds();
    GuardServer server(options);
    return server.run();
}
