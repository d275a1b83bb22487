#include "criticallydampedspring.h"

#include <QAnimationDriver>
#include <QTest>

#include <cmath>
#include <numbers>

// The spring that carries the window's look: it follows the closed form of a critically damped
// spring, never overshoots, and continues smoothly when the target changes mid-way. Time is driven
// by hand, frame by frame, so the figures are exact.
class TestVornViewSpring : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();

    void followsTheClosedForm_data();
    void followsTheClosedForm();
    void newTargetMidwayContinuesSmoothly();

private:
    // Qt's animation clock, advanced only by step().
    class ManualDriver : public QAnimationDriver
    {
    public:
        qint64 elapsed() const override { return m_msecs; }
        void step(int msecs)
        {
            m_msecs += msecs;
            advance();
        }

    private:
        qint64 m_msecs = 0;
    };

    static void complete(CriticallyDampedSpring &spring, qreal from)
    {
        spring.classBegin();
        spring.setTarget(from);
        spring.componentComplete();
    }

    std::unique_ptr<ManualDriver> m_driver;
};

void TestVornViewSpring::initTestCase()
{
    m_driver = std::make_unique<ManualDriver>();
    m_driver->install();
    // The animation timer settles on its first animation; run one to the end before measuring.
    CriticallyDampedSpring warmUp;
    complete(warmUp, 0);
    warmUp.setTarget(1);
    while (warmUp.isRunning()) {
        QCoreApplication::processEvents();
        m_driver->step(10);
    }
}

void TestVornViewSpring::cleanupTestCase()
{
    m_driver->uninstall();
    m_driver.reset();
}

void TestVornViewSpring::followsTheClosedForm_data()
{
    QTest::addColumn<qreal>("from");
    QTest::addColumn<qreal>("to");
    QTest::addColumn<qreal>("response");
    QTest::newRow("on, 0.5 s") << 0.0 << 1.0 << 0.5;
    QTest::newRow("off, 0.5 s") << 1.0 << 0.0 << 0.5;
    QTest::newRow("on, 0.25 s") << 0.0 << 1.0 << 0.25;
}

void TestVornViewSpring::followsTheClosedForm()
{
    QFETCH(qreal, from);
    QFETCH(qreal, to);
    QFETCH(qreal, response);

    CriticallyDampedSpring spring;
    spring.setResponse(response);
    complete(spring, from);
    spring.setTarget(to);
    QVERIFY(spring.isRunning());
    QCoreApplication::processEvents(); // the animation timer takes new animations on next turn

    const qreal omega = 2 * std::numbers::pi / response;
    const qreal direction = to > from ? 1 : -1;
    qreal previous = from;
    int msecs = 0;
    while (spring.isRunning() && msecs < 5000) {
        m_driver->step(10);
        msecs += 10;
        const qreal t = msecs / 1000.0;
        // x(t) = to + (from − to)(1 + ωt)e^(−ωt): starts at rest, never crosses the target.
        const qreal expected = to + (from - to) * (1 + omega * t) * std::exp(-omega * t);
        if (spring.isRunning())
            QVERIFY2(std::abs(spring.value() - expected) < 1e-9,
                     qPrintable(QStringLiteral("%1 ms: %2, expected %3")
                                        .arg(msecs)
                                        .arg(spring.value())
                                        .arg(expected)));
        QVERIFY((spring.value() - previous) * direction >= 0);
        QVERIFY((to - spring.value()) * direction >= 0);
        previous = spring.value();
    }
    // At rest exactly on the target, about two responses later.
    QVERIFY(!spring.isRunning());
    QCOMPARE(spring.value(), to);
    QVERIFY2(msecs > response * 1000 && msecs < response * 4000,
             qPrintable(QString::number(msecs)));
}

void TestVornViewSpring::newTargetMidwayContinuesSmoothly()
{
    CriticallyDampedSpring spring;
    complete(spring, 0);
    spring.setTarget(1);
    QCoreApplication::processEvents();
    for (int i = 0; i < 15; ++i)
        m_driver->step(10);
    const qreal turning = spring.value();
    QVERIFY(turning > 0.2 && turning < 0.9);

    // Blocking ends while the look still moves towards blocking: no jump, and the way back never
    // passes below the not-blocking look.
    spring.setTarget(0);
    QCoreApplication::processEvents();
    QCOMPARE(spring.value(), turning);
    qreal previous = turning;
    qreal highest = turning;
    while (spring.isRunning()) {
        m_driver->step(10);
        QVERIFY(std::abs(spring.value() - previous) < 0.1);
        QVERIFY(spring.value() >= 0);
        highest = std::max(highest, spring.value());
        previous = spring.value();
    }
    QCOMPARE(spring.value(), 0.0);
    // It carried its speed on for a moment before turning.
    QVERIFY(highest > turning);
}

QTEST_GUILESS_MAIN(TestVornViewSpring)
#include "tst_vornviewspring.moc"
