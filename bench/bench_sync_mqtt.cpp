// The exchange over a broker, end to end: the phone publishes "syncedBlockState" on a loopback
// mosquitto that saves after every change; vorn-sync's bridge writes it into the cloud folder of a
// real vorn (offscreen, its own HOME and runtime folder); the time until vorn has assigned
// isBlocking (seen as its rewrite of defaults.json) is measured over 200 flips. Then the broker is
// restarted 10 times, and the time from its listener being back to the first value exchanged
// between two bridges (a change made on one side while the broker was down) is measured. The
// phone-side bridge runs in a process of its own, as every deployed bridge does: Paho's network
// thread, shared by the clients of a process, looks at a new connection only once its wait on the
// others' sockets ends (up to a second each time), so bridges sharing a process reconnect late.
// Last, the peak resident memory (VmHWM) of a bridge process joining a broker that holds many
// large values (300 × 1 MiB, 1,000 × 64 KiB), measured when its reconciliation is done.
//
//   build/bench/bench_sync_mqtt [flips] [restarts] [--ws]   (--ws: over the WebSockets listener)
//   build/bench/bench_sync_mqtt --bridge <folder> <url> <name> [--until-in-step]

#include "benchstats.h"
#include "brokeraddress.h"
#include "cloudkeyvaluestore_linux.h"
#include "deviceannouncement.h"
#include "mosquittobroker.h"
#include "mqttconnection.h"
#include "syncbridge.h"
#include "syncedblockstate.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Watches vorn's defaults.json on a thread of its own and stamps each new isBlocking it finds.
class DefaultsWatcher
{
public:
    explicit DefaultsWatcher(const QString &file)
        : m_file(file)
    {
        m_fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        inotify_add_watch(m_fd, QFile::encodeName(QFileInfo(file).path()).constData(),
                          IN_MOVED_TO | IN_CLOSE_WRITE);
        m_thread = std::thread([this] { run(); });
    }
    ~DefaultsWatcher()
    {
        m_stop = true;
        m_thread.join();
        ::close(m_fd);
    }
    // The time isBlocking was last seen to become `value`, or 0.
    qint64 seenAt(bool value) const { return value ? m_trueAt : m_falseAt; }

private:
    void run()
    {
        char buffer[4096];
        while (!m_stop) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            while (::read(m_fd, buffer, sizeof buffer) > 0) { }
            const qint64 at = nowNs();
            const QJsonValue value
                    = QJsonDocument::fromJson(readFile(m_file)).object().value("isBlocking");
            if (!value.isBool())
                continue;
            if (value.toBool() && m_lastSeen != 1) {
                m_trueAt = at;
                m_lastSeen = 1;
            } else if (!value.toBool() && m_lastSeen != 0) {
                m_falseAt = at;
                m_lastSeen = 0;
            }
        }
    }

    QString m_file;
    int m_fd = -1;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<qint64> m_trueAt{0};
    std::atomic<qint64> m_falseAt{0};
    int m_lastSeen = -1;
};

template<typename Condition> bool waitFor(Condition condition, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        ::usleep(200);
    }
    return true;
}

void printFigures(const char *what, const std::vector<double> &ms)
{
    std::printf("%s: n=%zu p50 %.1f ms, p99 %.1f ms, max %.1f ms\n", what, ms.size(),
                percentile(ms, 0.5), percentile(ms, 0.99), percentile(ms, 1));
}

std::unique_ptr<SyncBridge> makeBridge(const QTemporaryDir &dir, const QString &folder,
                                       const QString &name, const QString &url)
{
    SyncBridge::Options options;
    options.cloudFolder = folder;
    options.baseFolder = dir.filePath(name + QStringLiteral("/base"));
    options.statusFile = dir.filePath(name + QStringLiteral("/status.json"));
    options.connection.broker = *BrokerAddress::parse(url);
    options.connection.user = QStringLiteral("alice");
    options.connection.password = "pw";
    options.connection.clientId = QStringLiteral("vorn-bench-") + name;
    auto bridge = std::make_unique<SyncBridge>(options);
    bridge->start();
    return bridge;
}

// The peak resident memory of this process, in KiB.
long peakRssKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

// --bridge: one bridge in this process, which says when it is in step; with --until-in-step, it
// prints its peak memory once in step and quiet, and ends.
int runBridge(QCoreApplication &app)
{
    const QStringList args = app.arguments();
    QTemporaryDir dir;
    const auto bridge = makeBridge(dir, args.value(2), args.value(4), args.value(3));
    if (!args.contains(QStringLiteral("--until-in-step"))) {
        QObject::connect(bridge.get(), &SyncBridge::inStep, &app, [] {
            std::printf("in step\n");
            std::fflush(stdout);
        });
        return app.exec();
    }
    // In step, and nothing more from the broker for two seconds.
    QTimer quiet;
    quiet.setSingleShot(true);
    quiet.setInterval(2000);
    QObject::connect(bridge->connection(), &MqttConnection::messageReceived, &quiet, [&] {
        if (bridge->isInStep())
            quiet.start();
    });
    QObject::connect(bridge.get(), &SyncBridge::inStep, &quiet, qOverload<>(&QTimer::start));
    QObject::connect(&quiet, &QTimer::timeout, &app, [&] {
        std::printf("VmHWM %ld KiB, %lld files\n", peakRssKiB(),
                    qint64(QDir(args.value(2)).entryList(QDir::Files).size()));
        app.quit();
    });
    return app.exec();
}

QProcess *startBridgeProcess(const QStringList &args, QObject *parent)
{
    auto *process = new QProcess(parent);
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->setChildProcessModifier([] {
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    });
    process->start(QCoreApplication::applicationFilePath(),
                   QStringList{QStringLiteral("--bridge")} + args);
    return process;
}

// Publishes `count` retained values of `bytes` each, then lets a new bridge process join; its peak
// resident memory is printed when it is in step. The broker saves on its default schedule (a save
// per value would rewrite hundreds of MiB each time) and queues all of them for the bridge.
void measureJoinMemory(int count, int bytes)
{
    QTemporaryDir dir;
    MosquittoBroker broker({{QStringLiteral("alice"), "pw"}});
    broker.kill();
    const QString config = broker.folder() + QStringLiteral("/mosquitto.conf");
    const QByteArray text = readFile(config);
    writeFile(
            config,
            QByteArray(text).replace("autosave_interval 1\n", "").replace("max_queued_bytes", "#"));
    broker.start();
    const QString url = QStringLiteral("mqtt://127.0.0.1:%1").arg(broker.port());
    MqttConnection writer(
            broker.settings(QStringLiteral("vorn-bench-writer"), QStringLiteral("alice"), "pw"));
    int acknowledged = 0;
    QObject::connect(&writer, &MqttConnection::publishAcknowledged, &writer,
                     [&] { ++acknowledged; });
    writer.start(true);
    waitFor([&] { return writer.state() == MqttConnection::State::Connected; }, 10000);
    for (int i = 0; i < count; ++i) {
        writer.publish("vorn/alice/kv/big" + QByteArray::number(count) + "x"
                               + QByteArray::number(i),
                       QByteArray(bytes, char('a' + i % 26)), true);
        if (i % 16 == 15) // a window, so that the writer does not hold everything at once
            waitFor([&] { return acknowledged > i - 16; }, 30000);
    }
    waitFor([&] { return acknowledged == count; }, 60000);
    writer.stop();
    QProcess *bridge
            = startBridgeProcess({dir.filePath(QStringLiteral("folder")), url,
                                  QStringLiteral("joiner"), QStringLiteral("--until-in-step")},
                                 nullptr);
    const qint64 start = nowNs();
    bridge->waitForFinished(120000);
    std::printf("%d values of %d KiB, joining bridge: %s, %.1f s\n", count, bytes / 1024,
                bridge->readAllStandardOutput().trimmed().constData(),
                double(nowNs() - start) / 1e9);
    delete bridge;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (app.arguments().value(1) == QStringLiteral("--bridge"))
        return runBridge(app);

    const int flips = argc > 1 ? std::atoi(argv[1]) : 200;
    const int restarts = argc > 2 ? std::atoi(argv[2]) : 10;
    const bool webSockets = app.arguments().contains(QStringLiteral("--ws"));

    QTemporaryDir dir;
    MosquittoBroker broker({{QStringLiteral("alice"), "pw"}});
    // Everyone over the broker's WebSockets listener, as the phone page connects, or plain MQTT.
    const QString url = webSockets ? QStringLiteral("ws://127.0.0.1:%1").arg(broker.webSocketPort())
                                   : QStringLiteral("mqtt://127.0.0.1:%1").arg(broker.port());
    std::printf("over %s\n", qPrintable(url));
    const QString home = dir.filePath(QStringLiteral("computer"));
    const QString cloud = home + QStringLiteral("/.local/share/vorn/cloud");
    const QString phoneSide = dir.filePath(QStringLiteral("phone-side"));
    const QString defaults = home + QStringLiteral("/.config/vorn/defaults.json");
    QDir().mkpath(cloud);
    QDir().mkpath(phoneSide);
    QDir().mkpath(home + QStringLiteral("/runtime"));
    QFile::setPermissions(home + QStringLiteral("/runtime"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    writeFile(defaults, R"({"isBlocking": false, "blockedBundleIDs": []})");
    const auto computerBridge = makeBridge(dir, cloud, QStringLiteral("computer"), url);
    QProcess *phoneBridge = startBridgeProcess({phoneSide, url, QStringLiteral("phone")}, &app);

    QProcess vorn;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/.local/share"));
    env.insert(QStringLiteral("XDG_STATE_HOME"), home + QStringLiteral("/.local/state"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home + QStringLiteral("/runtime"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.remove(QStringLiteral("VORN_CLOUD_DIR"));
    vorn.setProcessEnvironment(env);
    vorn.setProcessChannelMode(QProcess::ForwardedChannels);
    vorn.setChildProcessModifier([] {
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    });
    vorn.start(QStringLiteral(VORN_BINARY_DIR "/vorn"), {});

    QString id;
    const bool announced = waitFor(
            [&] {
                const auto registry = RegistryValue::decode(readFile(cloud + "/deviceRegistry"));
                for (const DeviceAnnouncement &device : registry.value_or(DeviceRegistryMap()))
                    id = device.id;
                return !id.isEmpty();
            },
            20000);
    if (!announced || !waitFor([&] { return computerBridge->isInStep(); }, 10000)) {
        std::fprintf(stderr, "vorn did not announce itself, or the bridge did not connect\n");
        ::kill(-pid_t(vorn.processId()), SIGKILL);
        return 1;
    }

    MqttConnection phone([&] {
        MqttConnection::Settings s;
        s.broker = *BrokerAddress::parse(url);
        s.user = QStringLiteral("alice");
        s.password = "pw";
        s.clientId = QStringLiteral("vorn-bench-phone-page");
        return s;
    }());
    phone.start(true);
    waitFor([&] { return phone.state() == MqttConnection::State::Connected; }, 10000);

    DefaultsWatcher watcher(defaults);
    std::vector<double> latencies;
    for (int i = 0; i < flips; ++i) {
        const bool value = i % 2 == 0;
        const SyncedBlockState state{value, {id}, double(i), {}, {}};
        const qint64 before = watcher.seenAt(value);
        const qint64 start = nowNs();
        phone.publish("vorn/alice/kv/syncedBlockState", *state.encode(), true);
        if (!waitFor([&] { return watcher.seenAt(value) != before; }, 10000)) {
            std::fprintf(stderr, "flip %d was not applied within 10 s\n", i);
            break;
        }
        latencies.push_back(double(watcher.seenAt(value) - start) / 1e6);
    }
    printFigures("phone publish -> isBlocking assigned in vorn", latencies);
    phone.stop(); // the page runs in a browser, not beside the bridge

    waitFor([&] { return phoneBridge->canReadLine(); }, 10000);
    while (phoneBridge->canReadLine())
        phoneBridge->readLine();
    std::vector<double> restartTimes;
    for (int i = 0; i < restarts; ++i) {
        const QByteArray value = "probe-" + QByteArray::number(i);
        broker.kill();
        LinuxCloudKeyValueStore(cloud, LinuxCloudKeyValueStore::Notices::None)
                .setData(value, QStringLiteral("benchProbe"));
        if (!broker.start()) {
            std::fprintf(stderr, "the broker did not restart\n");
            break;
        }
        const qint64 start = nowNs();
        if (!waitFor([&] { return readFile(phoneSide + "/benchProbe") == value; }, 20000)) {
            std::fprintf(stderr, "restart %d: no exchange within 20 s\n", i);
            break;
        }
        restartTimes.push_back(double(nowNs() - start) / 1e6);
        // The phone side says so once for each connection.
        waitFor([&] { return computerBridge->isInStep() && phoneBridge->canReadLine(); }, 10000);
        while (phoneBridge->canReadLine())
            phoneBridge->readLine();
    }
    printFigures("broker restart (listening again) -> first value exchanged", restartTimes);

    ::kill(-pid_t(vorn.processId()), SIGKILL);
    vorn.waitForFinished();
    ::kill(-pid_t(phoneBridge->processId()), SIGKILL);
    phoneBridge->waitForFinished();

    measureJoinMemory(300, 1024 * 1024);
    measureJoinMemory(1000, 64 * 1024);
    return 0;
}
