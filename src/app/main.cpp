#include "platform.h"
#include "singleinstance.h"
#include "terminationsignals.h"
#include "vornapplication.h"
#include "vornui.h"

#include <QGuiApplication>
#include <QLocale>
#include <QQuickWindow>

#include <cstdio>
#include <ctime>

namespace {

qint64 monotonicNanoseconds()
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

} // namespace

int main(int argc, char *argv[])
{
    // Without a display Qt would abort; the blocker must go on enforcing in such a session (a
    // session service, a test run), so it runs on the offscreen platform and opens no window.
    const bool headless = qEnvironmentVariableIsEmpty("DISPLAY")
            && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
            && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
    if (headless)
        qputenv("QT_QPA_PLATFORM", "offscreen");

    QGuiApplication app(argc, argv);
    // The window is a plain 2D view: Qt Quick's software renderer draws it without loading the
    // OpenGL stack, which would stay mapped (about 80 MB resident) for the life of the process
    // after the window closes, and it shows the first frame sooner. QT_QUICK_BACKEND overrides.
    if (qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND"))
        QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    QGuiApplication::setApplicationName(QStringLiteral("vorn"));
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Vorn"));
    QGuiApplication::setDesktopFileName(QStringLiteral("com.zumbra.vorn"));

    // Starting Vorn again is how the desktop reopens its window: the running Vorn does that, and
    // this process ends without ever creating a second blocker.
    SingleInstance instance(SingleInstance::defaultDirectory());
    if (instance.claim() == SingleInstance::Claim::Secondary) {
        if (SingleInstance::send(instance.socketPath(), "activate", 5000))
            return 0;
        std::fprintf(stderr, "vorn: another Vorn is running but does not answer\n");
        return 1;
    }

    VornUi::installTranslation(QLocale());
    // Owned here and lent to the application; destroyed after it, when their threads are joined.
    Platform::Services services;
    VornApplication vorn(services.lend());
    instance.setHandler([&vorn](const QByteArray &request) { return vorn.handleRequest(request); });

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

    if (!headless)
        vorn.openWindow();
    return app.exec();
}
