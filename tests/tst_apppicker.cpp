#include "vornuitest.h"

#include "appblocker.h"
#include "assets.h"
#include "blocklist.h"
#include "platform.h"
#include "syncedblockstate.h"
#include "vornapplication.h"

#include <QQuickView>

using namespace VornUiTest;

static const QUrl circle(QStringLiteral("qrc:/vorn/symbols/circle.svg"));
static const QUrl checkmark(QStringLiteral("qrc:/vorn/symbols/checkmark.circle.fill.svg"));
// By name, ignoring case: Archive, maps, Notes.
static const QStringList catalogue{"org.example.zeta", "org.example.Alpha", "org.example.beta"};

// The picker sheet over a real window, with desktop entries and stored defaults in a private home.
class tst_AppPicker : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        // Icons that cannot be found: each row shows a generic one.
        m_home->addApplication("org.example.zeta", "Archive", "org.example.no-such-icon");
        m_home->addApplication("org.example.Alpha", "maps", "/nonexistent/icon.png");
        m_home->addApplication("org.example.beta", "Notes");
        m_app->closeWindows();
        QTRY_VERIFY(m_app->windows().isEmpty());
        setBlocking(false);
        m_app->blockList()->setBlockedBundleIDs({});
        m_view = qobject_cast<QQuickView *>(m_app->openWindow());
        QVERIFY(m_view && QTest::qWaitForWindowExposed(m_view));
        m_view->requestActivate();
        QTRY_VERIFY(m_view->isActive());
    }

    void toggleRow_data()
    {
        QTest::addColumn<qreal>(
                "where"); // a click at this fraction of the row's width; 0: keyboard
        QTest::newRow("click on the name") << 0.15;
        QTest::newRow("click between name and mark") << 0.7;
        QTest::newRow("click on the mark") << 0.95;
        QTest::newRow("keyboard") << 0.0;
    }

    void toggleRow()
    {
        QFETCH(qreal, where);
        // An identifier that has no row stays listed through every toggle.
        m_app->blockList()->setBlockedBundleIDs({"org.example.Gone"});
        openPicker();
        expectRows(catalogue);
        for (const QString &id : catalogue) {
            QCOMPARE(mark(id, "source").toUrl(), circle);
            QCOMPARE(mark(id, "color").value<QColor>(), Assets().color("TextSecondary"));
            QTRY_COMPARE(find(row(id), "icon")->property("status").toInt(), 1); // Image.Ready
        }
        screenshot(m_view, "apppicker-empty");

        QQuickItem *maps = row("org.example.Alpha");
        if (where == 0) { // from "Done", Tab walks down the rows and Backtab up
            for (Qt::Key key : {Qt::Key_Tab, Qt::Key_Tab, Qt::Key_Tab, Qt::Key_Backtab})
                QTest::keyClick(m_view, key);
            QTRY_VERIFY(maps->hasActiveFocus());
        }
        const auto toggle = [&](Qt::Key key) {
            where > 0 ? click(maps, {maps->width() * where, maps->height() / 2})
                      : QTest::keyClick(m_view, key);
        };
        toggle(Qt::Key_Space);
        QTRY_COMPARE(mark("org.example.Alpha", "source").toUrl(), checkmark);
        QCOMPARE(mark("org.example.Alpha", "color").value<QColor>(), Assets().color("AccentColor"));
        QCOMPARE(m_home->storedBlockList(), (QStringList{"org.example.Alpha", "org.example.Gone"}));
        expectRows(catalogue); // the order does not change
        screenshot(m_view, "apppicker-selected");

        toggle(Qt::Key_Return);
        QTRY_COMPARE(mark("org.example.Alpha", "source").toUrl(), circle);
        QCOMPARE(m_home->storedBlockList(), QStringList{"org.example.Gone"});
        QTest::keyClick(m_view, Qt::Key_Escape);
        QTRY_VERIFY(!picker("visible").toBool());
    }

    void locksWhileBlockingAndScansAtEachOpening()
    {
        openPicker();
        QQuickItem *notes = row("org.example.beta");
        QQuickItem *notice = item("lockNotice");
        click(notes);
        QTRY_COMPARE(m_home->storedBlockList(), QStringList{"org.example.beta"});

        setBlocking(true);
        QTRY_VERIFY(notice->isVisible());
        for (const QString &id : catalogue)
            QCOMPARE(row(id)->opacity(), 0.5);
        screenshot(m_view, "apppicker-locked");
        // Clicks change nothing while locked, in either direction.
        click(notes);
        click(row("org.example.zeta"));
        QCoreApplication::processEvents(); // a click is handled as it is delivered
        QCOMPARE(m_home->storedBlockList(), QStringList{"org.example.beta"});

        // Blocking ends with the sheet still open: unlocked without reopening.
        setBlocking(false);
        QTRY_VERIFY(!notice->isVisible());
        click(notes);
        QTRY_COMPARE(m_home->storedBlockList(), QStringList());

        // "Done" closes the sheet while locked too; the next opening scans the folders again.
        setBlocking(true);
        click(item("doneButton"));
        QTRY_VERIFY(!picker("visible").toBool());
        setBlocking(false);
        const QString path = m_home->addApplication("org.example.Installed", "Brand New");
        openPicker();
        QFile::remove(path);
        expectRows({"org.example.zeta", "org.example.Installed", "org.example.Alpha",
                    "org.example.beta"});
    }

private:
    void setBlocking(bool blocking)
    {
        m_app->appBlocker()->applySyncedState(SyncedBlockState{blocking, {}, 0, {}, {}});
    }

    QQuickItem *item(const QString &name) { return find(m_view->contentItem(), name); }
    QQuickItem *row(const QString &id) { return item("appRow:" + id); }
    QVariant mark(const QString &id, const char *p) { return find(row(id), "mark")->property(p); }
    QVariant picker(const char *property)
    {
        return m_view->rootObject()->findChild<QObject *>("picker")->property(property);
    }

    // "Add App…" opens the sheet (again, after the sheet closed).
    void openPicker()
    {
        click(find(m_view->rootObject(), "addButton"));
        QTRY_VERIFY(picker("opened").toBool());
    }

    // The sheet lists exactly these rows, top to bottom.
    void expectRows(const QStringList &ids)
    {
        QCOMPARE(item("appList")->property("count").toInt(), ids.size());
        for (qsizetype i = 1; i < ids.size(); ++i)
            QVERIFY2(row(ids[i - 1])->y() < row(ids[i])->y(), qPrintable(ids[i]));
    }

    std::unique_ptr<TestHome> m_home = std::make_unique<TestHome>();
    std::unique_ptr<Platform::Services> m_services = std::make_unique<Platform::Services>();
    std::unique_ptr<VornApplication> m_app = std::make_unique<VornApplication>(m_services->lend());
    QQuickView *m_view = nullptr;
};

QTEST_MAIN(tst_AppPicker)
#include "tst_apppicker.moc"
