#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>

#include <atomic>
#include <memory>

struct PlatformServices;

class AppBlocker;
class BlockList;
class QQmlEngine;
class QQuickView;
class QQuickWindow;

// The running Vorn: owns the one block list and AppBlocker for the life of the process and the
// windows that show them; the platform services are lent by the entry point. Each window's content
// is a fresh VornView, bound to that blocker and to the shared block list. Closing the last window
// does not end the process: the blocker goes on following the phone and closing blocked
// applications. The process ends only on quit (Ctrl+Q in a window, SIGTERM). In a window, Ctrl+W
// closes it and Ctrl+N opens another one on the same blocker.
class VornApplication : public QObject
{
    Q_OBJECT

public:
    // Creates the blocker (which restores the stored block state) before any window exists. The
    // services must outlive the application.
    explicit VornApplication(const PlatformServices &services, QObject *parent = nullptr);
    ~VornApplication() override;

    AppBlocker *appBlocker() const { return m_blocker.get(); }
    BlockList *blockList() const { return m_blockList.get(); }

    // Opens one more window showing a new VornView; null only when the view cannot be loaded.
    QQuickWindow *openWindow();
    // What starting Vorn again asks for: bring the newest window to the front, or open one when
    // none is open.
    void reopen();
    // Closes every window the way the user does.
    void closeWindows();
    QList<QQuickWindow *> windows() const;

    // Answers one request of the single-instance channel: "activate" (reopen, answers
    // "ok <windows>"), "status" ("windows <n>"), "close" (close every window, "ok 0"), and the
    // pairing commands of `vorn pair|unpair` (AppBlocker::pairingRequest).
    QByteArray handleRequest(const QByteArray &request);

Q_SIGNALS:
    void windowCountChanged();
    // The user asked to quit (Ctrl+Q in a window, Qt.quit() in a view); the entry point ends the
    // event loop.
    void quitRequested();
    // The first frame of the first window reached the screen. Emitted on the thread that renders
    // it (connect directly to take the time at once).
    void firstFrameSwapped();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QQmlEngine &engine();
    void releaseViews();

    std::unique_ptr<BlockList> m_blockList;
    std::unique_ptr<AppBlocker> m_blocker;
    std::unique_ptr<QQmlEngine> m_engine;
    QList<QPointer<QQuickView>> m_windows;
    std::atomic_bool m_firstFrameSeen = false;
};
