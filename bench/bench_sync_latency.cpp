// Publish-to-applied latency: another process replaces "syncedBlockState" in the cloud folder,
// and the time until the blocker has assigned isBlocking on the main thread is measured, over
// 200 flips. Both sides read CLOCK_MONOTONIC, which is shared between processes.

#include "appblocker.h"
#include "benchstats.h"
#include "blocklist.h"
#include "deviceidentity.h"
#include "platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int flips = 200;

bool readAll(int fd, void *buffer, size_t size)
{
    auto *bytes = static_cast<char *>(buffer);
    while (size > 0) {
        const ssize_t n = read(fd, bytes, size);
        if (n <= 0)
            return false;
        bytes += n;
        size -= size_t(n);
    }
    return true;
}

// The phone's side, in a child forked before any thread exists: for each command byte it writes
// the record atomically and reports when it made it visible.
[[noreturn]] void runWriter(int commands, int reports)
{
    char folder[4096] = {};
    char id[256] = {};
    if (!readAll(commands, folder, sizeof folder) || !readAll(commands, id, sizeof id))
        _exit(1);
    const std::string target = std::string(folder) + "/syncedBlockState";
    const std::string temporary = std::string(folder) + "/.syncedBlockState.bench";
    char command = 0;
    int n = 0;
    while (readAll(commands, &command, 1)) {
        const std::string json = std::string("{\"isBlocking\":")
                + (command == '1' ? "true" : "false") + ",\"targetDeviceIDs\":[\"" + id
                + "\"],\"updatedAt\":" + std::to_string(++n) + "}";
        const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0 || write(fd, json.data(), json.size()) != ssize_t(json.size()))
            _exit(1);
        fsync(fd);
        close(fd);
        const qint64 written = nowNs();
        if (rename(temporary.c_str(), target.c_str()) != 0)
            _exit(1);
        if (write(reports, &written, sizeof written) != sizeof written)
            _exit(1);
    }
    _exit(0);
}

} // namespace

int main(int argc, char *argv[])
{
    int commandPipe[2];
    int reportPipe[2];
    if (pipe(commandPipe) != 0 || pipe(reportPipe) != 0)
        return 1;
    const pid_t writer = fork();
    if (writer == 0) {
        close(commandPipe[1]);
        close(reportPipe[0]);
        runWriter(commandPipe[0], reportPipe[1]);
    }
    close(commandPipe[0]);
    close(reportPipe[1]);

    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_DATA_HOME", home.filePath(".local/share").toUtf8());
    qputenv("XDG_CONFIG_HOME", home.filePath(".config").toUtf8());
    qputenv("XDG_STATE_HOME", home.filePath(".local/state").toUtf8());
    qunsetenv("VORN_CLOUD_DIR");

    QCoreApplication app(argc, argv);
    Platform::Services services;
    BlockList blockList(services.lend().userDefaults);
    AppBlocker blocker(services.lend(), &blockList);
    const QByteArray folder = home.filePath(".local/share/vorn/cloud").toUtf8();
    const QByteArray id = blocker.deviceIdentity()->currentDeviceID().toUtf8();
    char folderBuffer[4096] = {};
    char idBuffer[256] = {};
    std::copy_n(folder.constData(), std::min<qsizetype>(folder.size(), 4095), folderBuffer);
    std::copy_n(id.constData(), std::min<qsizetype>(id.size(), 255), idBuffer);
    if (write(commandPipe[1], folderBuffer, sizeof folderBuffer) != sizeof folderBuffer
        || write(commandPipe[1], idBuffer, sizeof idBuffer) != sizeof idBuffer)
        return 1;

    std::vector<double> latencies;
    int flip = 0;
    bool expected = false;
    int misses = 0;
    QTimer timeout;
    timeout.setSingleShot(true);
    timeout.setInterval(5000);

    const auto next = [&] {
        if (flip == flips) {
            app.quit();
            return;
        }
        ++flip;
        expected = !blocker.isBlocking();
        const char command = expected ? '1' : '0';
        if (write(commandPipe[1], &command, 1) != 1)
            app.exit(1);
        timeout.start();
    };
    QObject::connect(&blocker, &AppBlocker::isBlockingChanged, &app, [&] {
        const qint64 applied = nowNs();
        if (blocker.isBlocking() != expected)
            return;
        timeout.stop();
        qint64 written = 0;
        if (!readAll(reportPipe[0], &written, sizeof written)) {
            app.exit(1);
            return;
        }
        latencies.push_back(double(applied - written) / 1e6);
        QTimer::singleShot(5, &app, next);
    });
    QObject::connect(&timeout, &QTimer::timeout, &app, [&] {
        ++misses;
        qint64 written = 0;
        readAll(reportPipe[0], &written, sizeof written);
        next();
    });
    QTimer::singleShot(200, &app, next);
    const int status = app.exec();

    close(commandPipe[1]);
    waitpid(writer, nullptr, 0);
    if (status != 0 || latencies.empty()) {
        fprintf(stderr, "bench_sync_latency: failed (status %d)\n", status);
        return 1;
    }
    printf("publish-to-applied latency over %zu flips (%d lost): p50 %.2f ms, p99 %.2f ms, max "
           "%.2f ms\n",
           latencies.size(), misses, percentile(latencies, 0.50), percentile(latencies, 0.99),
           percentile(latencies, 1));
    return misses == 0 ? 0 : 1;
}
