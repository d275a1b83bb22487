#include "brokeraddress.h"
#include "cloudkeyvaluestore_linux.h"
#include "deviceannouncement.h"
#include "mosquittobroker.h"
#include "syncbridge.h"
#include "syncedblockstate.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>
#include <sys/prctl.h>
#include <unistd.h>

// The whole road on one machine: a real vorn on one cloud folder, the phone's side on another,
// each folder with its bridge, one mosquitto between them.
class tst_SyncVorn : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void vornFollowsTheOtherSide();
};

namespace {

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void startInOwnGroup(QProcess &process, const QString &program, const QStringList &args)
{
    process.setChildProcessModifier([] {
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    });
    process.start(program, args);
}

// Kills the process's whole group when the test ends, passed or not.
struct GroupKiller
{
    QProcess &process;
    ~GroupKiller()
    {
        if (process.state() != QProcess::NotRunning)
            ::kill(-pid_t(process.processId()), SIGKILL);
        process.waitForFinished(5000);
    }
};

} // namespace

void tst_SyncVorn::vornFollowsTheOtherSide()
{
    QTemporaryDir dir;
    const QString computer = dir.filePath(QStringLiteral("computer"));
    const QString phoneSide = dir.filePath(QStringLiteral("phone-side/cloud"));
    const QString vornCloud = computer + QStringLiteral("/.local/share/vorn/cloud");
    QVERIFY(QDir().mkpath(phoneSide) && QDir().mkpath(vornCloud));
    MosquittoBroker broker({{QStringLiteral("alice"), "pw"}});

    auto bridge = [&](const QString &folder, const QString &name) {
        SyncBridge::Options options;
        options.cloudFolder = folder;
        options.baseFolder = dir.filePath(name + QStringLiteral("/base"));
        options.statusFile = dir.filePath(name + QStringLiteral("/status.json"));
        options.connection.broker
                = *BrokerAddress::parse(QStringLiteral("mqtt://127.0.0.1:%1").arg(broker.port()));
        options.connection.user = QStringLiteral("alice");
        options.connection.password = "pw";
        options.connection.clientId = QStringLiteral("vorn-test-") + name;
        auto made = std::make_unique<SyncBridge>(options);
        made->start();
        return made;
    };
    const std::unique_ptr<SyncBridge> computerBridge
            = bridge(vornCloud, QStringLiteral("computer"));
    const std::unique_ptr<SyncBridge> phoneBridge = bridge(phoneSide, QStringLiteral("phone"));

    // The computer: a blocked application, running, and Vorn with it on the block list.
    const QString blockedProgram = computer + QStringLiteral("/blocked-app");
    QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), blockedProgram));
    QVERIFY(writeFile(
            computer + QStringLiteral("/.local/share/applications/org.example.Blocked.desktop"),
            "[Desktop Entry]\nType=Application\nName=Blocked\nExec=" + blockedProgram.toUtf8()
                    + "\n"));
    const QString defaults = computer + QStringLiteral("/.config/vorn/defaults.json");
    QVERIFY(writeFile(defaults,
                      R"({"isBlocking": false, "blockedBundleIDs": ["org.example.Blocked"]})"));
    QVERIFY(QDir().mkpath(computer + QStringLiteral("/runtime")));
    QFile::setPermissions(computer + QStringLiteral("/runtime"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QVERIFY(QDir().mkpath(computer + QStringLiteral("/no-data-dirs")));

    QProcess blocked;
    const GroupKiller blockedKiller{blocked};
    startInOwnGroup(blocked, blockedProgram, {QStringLiteral("600")});
    QVERIFY(blocked.waitForStarted());

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), computer);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), computer + QStringLiteral("/.config"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), computer + QStringLiteral("/.local/share"));
    env.insert(QStringLiteral("XDG_STATE_HOME"), computer + QStringLiteral("/.local/state"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), computer + QStringLiteral("/runtime"));
    env.insert(QStringLiteral("XDG_DATA_DIRS"), computer + QStringLiteral("/no-data-dirs"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // Its identifier stays in its own private keychain file, away from the shared keyring.
    env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    env.remove(QStringLiteral("VORN_CLOUD_DIR"));
    QProcess vorn;
    const GroupKiller vornKiller{vorn};
    vorn.setProcessEnvironment(env);
    vorn.setProcessChannelMode(QProcess::ForwardedChannels);
    startInOwnGroup(vorn, QStringLiteral(VORN_BINARY_DIR "/vorn"), {});
    QVERIFY(vorn.waitForStarted());

    // Vorn's announcement reaches the phone's side.
    QString computerID;
    QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                const auto registry = RegistryValue::decode(
                        readFile(phoneSide + QStringLiteral("/deviceRegistry")));
                for (const DeviceAnnouncement &device : registry.value_or(DeviceRegistryMap())) {
                    if (device.deviceType == SyncDeviceType::mac)
                        computerID = device.id;
                }
                return !computerID.isEmpty();
            }(),
            15000);

    // The phone's side publishes blocking on for it: Vorn applies it and closes the application.
    SyncedBlockState state{true, {computerID}, 0};
    LinuxCloudKeyValueStore(phoneSide, LinuxCloudKeyValueStore::Notices::None)
            .setData(*state.encode(), QStringLiteral("syncedBlockState"));
    // (Waiting here must keep this thread's event loop, and so the bridges, running.)
    QTRY_VERIFY2_WITH_TIMEOUT(blocked.state() == QProcess::NotRunning,
                              "the blocked application was left running", 15000);
    QCOMPARE(blocked.exitStatus(), QProcess::CrashExit);
    QTRY_COMPARE_WITH_TIMEOUT(
            QJsonDocument::fromJson(readFile(defaults)).object().value("isBlocking").toBool(), true,
            5000);
    QCOMPARE(vorn.state(), QProcess::Running);
}

QTEST_GUILESS_MAIN(tst_SyncVorn)
#include "tst_syncvorn.moc"
