// Start-up time and memory of `vorn`, measured from outside as real processes.
//
// For each run: a fresh `vorn` is started in a private home; the time from just before the start
// to its first frame on screen (vorn prints its monotonic clock at that frame when
// VORN_PRINT_STARTUP=1), then its resident memory (VmRSS) after a second of idling with the
// window open, and again after the window was closed (through the instance channel, as a user
// would) and two more seconds of idling. Prints every run and the medians.
//
// Needs a display: run it as `xvfb-run -a bench_vornstartup [runs]`, or on a desktop.

#include "benchstats.h"
#include "singleinstance.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <cstdio>
#include <vector>

namespace {

double residentMegabytes(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return -1;
}

void idle(int msecs)
{
    QThread::msleep(msecs);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? QByteArray(argv[1]).toInt() : 7;
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        std::fprintf(stderr, "bench_vornstartup: needs a display; run it under xvfb-run -a\n");
        return 2;
    }

    QTemporaryDir home;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const QString root = home.path();
    for (const auto &[name, folder] : {std::pair{"HOME", ""},
                                       {"XDG_CONFIG_HOME", "/config"},
                                       {"XDG_DATA_HOME", "/data"},
                                       {"XDG_CACHE_HOME", "/cache"},
                                       {"XDG_STATE_HOME", "/state"},
                                       {"XDG_RUNTIME_DIR", "/run"}})
        environment.insert(QString::fromLatin1(name), root + QString::fromLatin1(folder));
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    environment.remove(QStringLiteral("VORN_CLOUD_DIR"));
    environment.insert(QStringLiteral("VORN_PRINT_STARTUP"), QStringLiteral("1"));
    QDir().mkpath(root + QStringLiteral("/run"));
    QFile::setPermissions(root + QStringLiteral("/run"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QString socket = root + QStringLiteral("/run/vorn.socket");

    std::vector<double> firstFrame, openMemory, closedMemory;
    std::printf("run  first frame (ms)  RSS open (MiB)  RSS closed (MiB)\n");
    for (int run = 0; run < runs; ++run) {
        QProcess vorn;
        vorn.setProcessEnvironment(environment);
        vorn.setReadChannel(QProcess::StandardError);
        const qint64 started = nowNs();
        vorn.start(QStringLiteral(VORN_BINARY_DIR "/vorn"), {});
        if (!vorn.waitForStarted()) {
            std::fprintf(stderr, "bench_vornstartup: cannot start vorn\n");
            return 1;
        }
        qint64 frame = 0;
        QByteArray output;
        while (!frame && vorn.waitForReadyRead(10000)) {
            output += vorn.readAllStandardError();
            const qsizetype at = output.indexOf("first-frame-monotonic-ns=");
            if (at >= 0 && output.indexOf('\n', at) > at)
                frame = output.mid(at + 25, output.indexOf('\n', at) - at - 25).toLongLong();
        }
        if (!frame) {
            std::fprintf(stderr, "bench_vornstartup: no first frame reported\n%s",
                         output.constData());
            return 1;
        }
        idle(1000);
        const double open = residentMegabytes(vorn.processId());
        SingleInstance::send(socket, "close", 5000);
        idle(2000);
        const double closed = residentMegabytes(vorn.processId());
        ::kill(pid_t(vorn.processId()), SIGTERM);
        vorn.waitForFinished(10000);

        const double ms = double(frame - started) / 1e6;
        std::printf("%3d  %17.1f  %14.1f  %16.1f\n", run + 1, ms, open, closed);
        firstFrame.push_back(ms);
        openMemory.push_back(open);
        closedMemory.push_back(closed);
    }
    std::printf("median of %d runs: first frame %.1f ms, RSS window open %.1f MiB, "
                "RSS window closed %.1f MiB\n",
                runs, median(firstFrame), median(openMemory), median(closedMemory));
    return 0;
}
