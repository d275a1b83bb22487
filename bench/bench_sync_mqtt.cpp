// The exchange over a broker, end to end: the phone publishes "syncedBlockState" on a loopback
// mosquitto that saves after every change; vorn-sync's bridge writes it into the cloud folder of a
// real vorn (offscreen, its own HOME and runtime folder); the time until vorn has assigned
// isBlocking (seen as its rewrite of defaults.json) is measured over 200 flips. Then the broker is
// restarted 10 times, and the time from its listener being back to the first value exchanged
// between two bridges (a change made on one side while the broker was down) is measured.
//
//   build/bench/bench_sync_mqtt [flips] [restarts] [--ws]   (--ws: over the WebSockets listener)

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
#include <QTemporaryDir>

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

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);

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
    const auto phoneBridge = makeBridge(dir, phoneSide, QStringLiteral("phone"), url);

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
        waitFor([&] { return computerBridge->isInStep() && phoneBridge->isInStep(); }, 10000);
    }
    printFigures("broker restart (listening again) -> first value exchanged", restartTimes);

    ::kill(-pid_t(vorn.processId()), SIGKILL);
    vorn.waitForFinished();
    return 0;
}
