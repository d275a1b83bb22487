#include "vornapplication.h"

#include "appblocker.h"
#include "blocklist.h"
#include "installedappsmodel.h"
#include "platform.h"
#include "qmlappblocker.h"
#include "qmlblocklist.h"
#include "vornui.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QLoggingCategory>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickView>
#include <QScreen>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(VornPlugin)

namespace {
Q_LOGGING_CATEGORY(lcShell, "vorn")
}

VornApplication::VornApplication(const PlatformServices &services, QObject *parent)
    : QObject(parent)
    , m_blockList(std::make_unique<BlockList>(services.userDefaults))
    , m_blocker(std::make_unique<AppBlocker>(services, m_blockList.get()))
{
    QmlAppBlocker::setInstance(m_blocker.get());
    QmlBlockList::setInstance(m_blockList.get());
    InstalledAppsModel::setApplications(services.applications);
    QGuiApplication::setQuitOnLastWindowClosed(false);
}

VornApplication::~VornApplication()
{
    for (const QPointer<QQuickView> &view : std::as_const(m_windows))
        delete view.data();
    m_windows.clear();
    m_engine.reset();
    QmlAppBlocker::setInstance(nullptr);
    QmlBlockList::setInstance(nullptr);
    InstalledAppsModel::setApplications(nullptr);
}

QQmlEngine &VornApplication::engine()
{
    if (!m_engine) {
        m_engine = std::make_unique<QQmlEngine>();
        VornUi::prepareEngine(*m_engine);
        connect(m_engine.get(), &QQmlEngine::quit, this, &VornApplication::quitRequested,
                Qt::QueuedConnection);
    }
    return *m_engine;
}

QQuickWindow *VornApplication::openWindow()
{
    auto *view = new QQuickView(&engine(), nullptr);
    view->setTitle(QStringLiteral("Vorn"));
    view->setResizeMode(QQuickView::SizeRootObjectToView);
    view->setSource(QUrl(QStringLiteral("qrc:/Vorn/VornView.qml")));
    QQuickItem *root = view->rootObject();
    if (view->status() != QQuickView::Ready || !root) {
        for (const QQmlError &error : view->errors())
            qCWarning(lcShell, "%s", qPrintable(error.toString()));
        delete view;
        return nullptr;
    }

    // The content's own minimum is the window's; it opens at the size its content asks for, as
    // far as the screen allows.
    const QSize minimum(root->property("minimumWidth").toInt(),
                        root->property("minimumHeight").toInt());
    view->setMinimumSize(minimum);
    QSize size(qMax(qCeil(root->implicitWidth()), minimum.width()),
               qMax(qCeil(root->implicitHeight()), minimum.height()));
    if (const QScreen *screen = view->screen())
        size = size.boundedTo(screen->availableSize()).expandedTo(minimum);
    view->resize(size);

    view->installEventFilter(this);
    connect(view, &QObject::destroyed, this, [this] {
        m_windows.removeAll(nullptr);
        Q_EMIT windowCountChanged();
        if (m_windows.isEmpty())
            QMetaObject::invokeMethod(this, &VornApplication::releaseViews, Qt::QueuedConnection);
    });
    if (!m_firstFrameSeen) {
        connect(
                view, &QQuickWindow::frameSwapped, this,
                [this] {
                    if (!m_firstFrameSeen.exchange(true))
                        Q_EMIT firstFrameSwapped();
                },
                Qt::DirectConnection);
    }
    m_windows.append(view);
    view->show();
    Q_EMIT windowCountChanged();
    return view;
}

void VornApplication::releaseViews()
{
    // With no window open the process may idle for days: give back what the views held (the QML
    // engine, its type data and caches) instead of keeping it for a window that may never come.
    if (!m_windows.isEmpty() || !m_engine)
        return;
    m_engine.reset();
    Platform::releaseFreeMemory();
}

void VornApplication::reopen()
{
    for (auto it = m_windows.crbegin(); it != m_windows.crend(); ++it) {
        if (*it && (*it)->isVisible()) {
            (*it)->raise();
            (*it)->requestActivate();
            return;
        }
    }
    openWindow();
}

void VornApplication::closeWindows()
{
    const QList<QPointer<QQuickView>> open = m_windows;
    for (const QPointer<QQuickView> &view : open) {
        if (view)
            view->close();
    }
}

QList<QQuickWindow *> VornApplication::windows() const
{
    QList<QQuickWindow *> result;
    for (const QPointer<QQuickView> &view : m_windows) {
        if (view && view->isVisible())
            result.append(view.data());
    }
    return result;
}

QByteArray VornApplication::handleRequest(const QByteArray &request)
{
    if (request == "activate") {
        reopen();
        return "ok " + QByteArray::number(windows().size());
    }
    if (request == "status")
        return "windows " + QByteArray::number(windows().size());
    if (request == "close") {
        closeWindows();
        return "ok " + QByteArray::number(windows().size());
    }
    if (request.startsWith("pair") || request.startsWith("unpair ")
        || request.startsWith("recover "))
        return m_blocker->pairingRequest(request);
    return "error unknown request";
}

bool VornApplication::eventFilter(QObject *watched, QEvent *event)
{
    auto *view = qobject_cast<QQuickView *>(watched);
    if (!view)
        return QObject::eventFilter(watched, event);

    if (event->type() == QEvent::Close) {
        // A closed window is gone for good; reopening builds a fresh one.
        view->deleteLater();
    } else if (event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        // Ctrl+Q also where the platform's key scheme has no quit key (the offscreen platform).
        if (key->matches(QKeySequence::Quit)
            || key->keyCombination() == QKeyCombination(Qt::ControlModifier, Qt::Key_Q)) {
            Q_EMIT quitRequested();
            return true;
        }
        if (key->matches(QKeySequence::Close)) {
            view->close();
            return true;
        }
        if (key->matches(QKeySequence::New)) {
            openWindow();
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}
