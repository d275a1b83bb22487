#pragma once

#include "processgroups.h"
#include "singleinstance.h"
#include "testhome.h"

// Helpers shared by the window, picker and shell tests.

#include <QDir>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTest>

namespace VornUiTest {

// Items by object name in the visual tree under root (delegates and popups included), in order.
inline QList<QQuickItem *> findAll(QQuickItem *root, const QString &objectName)
{
    QList<QQuickItem *> found;
    for (QQuickItem *child : root ? root->childItems() : QList<QQuickItem *>()) {
        if (child->objectName() == objectName)
            found.append(child);
        found.append(findAll(child, objectName));
    }
    return found;
}

// The first item of that name; fails the test and returns a stand-in when there is none.
inline QQuickItem *find(QQuickItem *root, const QString &objectName)
{
    const QList<QQuickItem *> found = findAll(root, objectName);
    if (!found.isEmpty())
        return found.constFirst();
    QTest::qFail(qPrintable(QStringLiteral("no item named ") + objectName), __FILE__, __LINE__);
    static QQuickItem standIn;
    return &standIn;
}

inline void click(QQuickItem *item, QPointF local = {-1, -1})
{
    if (local.x() < 0)
        local = QPointF(item->width() / 2, item->height() / 2);
    QTest::mouseClick(item->window(), Qt::LeftButton, Qt::NoModifier,
                      item->mapToScene(local).toPoint());
}

// Saves what the window shows under $VORN_SCREENSHOT_DIR/<name>.png when that variable is set.
inline void screenshot(QQuickWindow *window, const QString &name)
{
    const QString folder = qEnvironmentVariable("VORN_SCREENSHOT_DIR");
    if (!folder.isEmpty() && QDir().mkpath(folder))
        QVERIFY(window->grabWindow().save(folder + '/' + name + QStringLiteral(".png")));
}

// `vorn` as real processes, each leading a process group of its own; the programs a test starts
// with launch() too. Every group is killed by killAll() and at the latest when this goes.
class VornProcesses : public ProcessGroups
{
public:
    // Starts `vorn`, with at most `maxFiles` open descriptors when given.
    QProcess &startVorn(const QStringList &arguments = {},
                        const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(),
                        int maxFiles = 0)
    {
        QProcess &vorn = keep();
        vorn.setProcessEnvironment(env);
        const QString program = QStringLiteral(VORN_BINARY_DIR "/vorn");
        if (maxFiles == 0)
            start(vorn, program, arguments);
        else
            start(vorn, "/bin/sh",
                  QStringList{"-c",
                              QStringLiteral("ulimit -n %1 && exec \"$0\" \"$@\"").arg(maxFiles),
                              program}
                          + arguments);
        return vorn;
    }

    static QString socketPath() { return qEnvironmentVariable("XDG_RUNTIME_DIR") + "/vorn.socket"; }
    // The running Vorn's answer to a request on its socket.
    static auto ask(const QByteArray &request)
    {
        return SingleInstance::send(socketPath(), request, 10000);
    }
};

// Expects a started process force-quit, now or within 10 s.
inline void expectClosed(QProcess &process)
{
    QVERIFY2(process.state() == QProcess::NotRunning || process.waitForFinished(10000),
             "a blocked application was left running");
    QCOMPARE(process.exitStatus(), QProcess::CrashExit);
}

} // namespace VornUiTest
