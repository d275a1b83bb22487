#include "appblocker.h"
#include "enforcementlog.h"
#include "handover.h"
#include "phonepairing.h"
#include "platform.h"
#include "referencedate.h"
#include "singleinstance.h"
#include "terminationsignals.h"
#include "vornapplication.h"
#include "vornui.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QGuiApplication>
#include <QLocale>
#include <QQuickWindow>
#include <QThread>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <unistd.h>

namespace {

qint64 monotonicNanoseconds()
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

constexpr int handOverTimeoutMs = 15000;

bool hasOption(int argc, char *argv[], const char *option)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], option) == 0)
            return true;
    }
    return false;
}

// A start with a display while a display-less Vorn runs: the running one lets go of the session
// once this one has asked, and enforces until this one has taken it. Waits for the lock; true when
// this process holds it, false when another start with a display took the session meanwhile.
std::optional<bool> takeOver(SingleInstance &instance)
{
    const QDeadlineTimer deadline(handOverTimeoutMs);
    while (!deadline.hasExpired()) {
        if (instance.claim() == SingleInstance::Claim::Primary)
            return true;
        const std::optional<QByteArray> answer
                = SingleInstance::send(instance.socketPath(), "activate", 200);
        if (answer && answer->startsWith("ok"))
            return false;
        QThread::msleep(20);
    }
    return std::nullopt;
}

// `vorn pair [FINGERPRINT]`, `vorn unpair FINGERPRINT`, `vorn unpair --recovery CODE`: asks the
// running Vorn, or, when none runs, changes the pairing state itself while holding the instance
// lock. Prints the answer; 1 when refused, 2 for a usage error.
int pairingCommand(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    const QString verb = args.takeFirst();
    QByteArray request;
    if (verb == QLatin1String("pair") && args.size() <= 1)
        request = ("pair " + args.value(0)).trimmed().toUtf8();
    else if (verb == QLatin1String("unpair") && args.size() == 1)
        request = "unpair " + args[0].toUtf8();
    else if (verb == QLatin1String("unpair") && args.size() == 2
             && args[0] == QLatin1String("--recovery"))
        request = "recover " + args[1].toUtf8();
    if (request.isEmpty() || request.contains('\n')) {
        std::fprintf(stderr,
                     "usage: vorn pair [FINGERPRINT] | vorn unpair FINGERPRINT | "
                     "vorn unpair --recovery CODE\n");
        return 2;
    }

    SingleInstance instance(SingleInstance::defaultDirectory());
    QByteArray answer;
    if (instance.claim() == SingleInstance::Claim::Secondary) {
        const std::optional<QByteArray> sent
                = SingleInstance::send(instance.socketPath(), request, 5000);
        if (!sent) {
            std::fprintf(stderr, "vorn: the running Vorn does not answer\n");
            return 1;
        }
        answer = *sent;
    } else {
        instance.setHandler([](const QByteArray &) { return QByteArray("error busy"); });
        const std::unique_ptr<CloudKeyValueStore> store = Platform::createQuietCloudStore();
        const std::unique_ptr<UserDefaults> defaults = Platform::createUserDefaults();
        PhonePairing pairing(Platform::stateFolder() + QStringLiteral("/pairing.json"));
        pairing.finishRecoveryIfDue(ReferenceDate::now());
        answer = pairing.command(request, defaults->boolForKey(AppBlocker::isBlockingKey),
                                 store.get(), ReferenceDate::now());
    }
    const bool ok = answer.startsWith("ok ");
    QByteArray text = answer.mid(ok ? 3 : answer.indexOf(' ') + 1);
    if (request == "pair") {
        QByteArray lines;
        for (qsizetype i = 0; i < text.size(); ++i) {
            if (text[i] == '\\' && i + 1 < text.size())
                lines += text[++i] == 'n' ? '\n' : text[i];
            else
                lines += text[i];
        }
        text = lines.isEmpty() ? QByteArray("No phone has offered a key or is paired.") : lines;
    }
    std::fprintf(ok ? stdout : stderr, "%s%s\n", ok ? "" : "vorn: ", text.constData());
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc > 1 && (std::strcmp(argv[1], "pair") == 0 || std::strcmp(argv[1], "unpair") == 0))
        return pairingCommand(argc, argv);

    // Started at login (the autostart entry, the user unit) Vorn shows no window and needs no
    // display. Without a display Qt would abort; the blocker must go on enforcing in such a session
    // (a session service, a test run), so it runs on the offscreen platform and opens no window.
    const bool background = hasOption(argc, argv, "--background");
    const bool headless = background
            || (qEnvironmentVariableIsEmpty("DISPLAY")
                && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
                && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"));
    if (headless)
        qputenv("QT_QPA_PLATFORM", "offscreen");

    QGuiApplication app(argc, argv);
    QGuiApplication::setApplicationVersion(QStringLiteral(VORN_VERSION));
    QCommandLineParser options;
    options.setApplicationDescription(QStringLiteral(
            "Closes the applications on the block list while the phone's block state says so."));
    options.addHelpOption();
    options.addVersionOption();
    options.addOption({QStringLiteral("background"),
                       QStringLiteral("Run without a window (as at login); a later start with a "
                                      "display opens it.")});
    options.process(app);

    // The window is a plain 2D view: Qt Quick's software renderer draws it without loading the
    // OpenGL stack, which would stay mapped (about 80 MB resident) for the life of the process
    // after the window closes, and it shows the first frame sooner. QT_QUICK_BACKEND overrides.
    if (qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND"))
        QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    QGuiApplication::setApplicationName(QStringLiteral("vorn"));
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Vorn"));
    // The desktop-file ID, the icon's and the AppStream ID: the bundle identifier.
    QGuiApplication::setDesktopFileName(QStringLiteral("com.zumbra.vorn.mac"));

    // Starting Vorn again is how the desktop reopens its window: the running Vorn does that, and
    // this process ends without ever creating a second blocker. A running Vorn without a display
    // cannot show a window; it hands its session over to this one instead.
    SingleInstance instance(SingleInstance::defaultDirectory());
    bool tookOver = false;
    if (instance.claim() == SingleInstance::Claim::Secondary) {
        if (headless) {
            // Nothing to show here: the running Vorn already enforces.
            if (!background)
                std::fprintf(stderr, "vorn: Vorn is already running\n");
            return 0;
        }
        const std::optional<QByteArray> answer
                = SingleInstance::send(instance.socketPath(), "activate", 5000);
        if (!answer) {
            std::fprintf(stderr, "vorn: another Vorn is running but does not answer\n");
            return 1;
        }
        if (*answer != "handover")
            return 0;
        const std::optional<bool> took = takeOver(instance);
        if (!took) {
            std::fprintf(stderr, "vorn: the running Vorn did not hand over its session\n");
            return 1;
        }
        if (!*took)
            return 0;
        tookOver = true;
    }

    VornUi::installTranslation(QLocale());
    // Owned here and lent to the application; destroyed after it, when their threads are joined.
    Platform::Services services;
    VornApplication vorn(services.lend());
    HandOver handOver(instance);
    instance.setHandler([&vorn, &handOver, headless](const QByteArray &request) {
        if (headless && request == "activate") {
            handOver.start(handOverTimeoutMs);
            return QByteArrayLiteral("handover");
        }
        return vorn.handleRequest(request);
    });
    QObject::connect(&handOver, &HandOver::finished, &app, &QCoreApplication::quit);
    if (tookOver) {
        // Whatever blocked application started while the sessions changed hands is closed now.
        QMetaObject::invokeMethod(
                vorn.appBlocker(), [&vorn] { vorn.appBlocker()->terminateBlockedRunningApps(); },
                Qt::QueuedConnection);
    }

    QObject::connect(&vorn, &VornApplication::quitRequested, &app, &QCoreApplication::quit);
    TerminationSignals termination;
    QObject::connect(&termination, &TerminationSignals::received, &app, &QCoreApplication::quit);

    // Start-up figures for the benchmark: the monotonic clock at the first frame.
    if (qEnvironmentVariableIntValue("VORN_PRINT_STARTUP") == 1) {
        QObject::connect(
                &vorn, &VornApplication::firstFrameSwapped, &vorn,
                [] {
                    std::fprintf(stderr, "vorn-startup first-frame-monotonic-ns=%lld\n",
                                 static_cast<long long>(monotonicNanoseconds()));
                },
                Qt::DirectConnection);
    }

    if (!headless) {
        vorn.openWindow();
    } else if (!background || ::isatty(STDERR_FILENO)) {
        std::fprintf(stderr,
                     "vorn: running in the background without a window (no display); stop it "
                     "with Ctrl+C or: kill %lld\n",
                     static_cast<long long>(QCoreApplication::applicationPid()));
    }
    return app.exec();
}
