#include "criticallydampedspring.h"

#include <QAnimationDriver>
#include <QTest>

#include <cmath>
#include <numbers>

// The spring behind the window's look. The test is also Qt's animation clock, advanced by hand.
class tst_VornViewSpring : public QAnimationDriver
{
    Q_OBJECT
    qint64 m_msecs = 0;
    qint64 elapsed() const override { return m_msecs; }
    void step()
    {
        m_msecs += 10;
        advance();
    }

private Q_SLOTS:
    void initTestCase()
    {
        install();
        // The animation timer settles on its first animation; run one to the end before measuring.
        CriticallyDampedSpring warmUp;
        warmUp.componentComplete();
        for (warmUp.setTarget(1); warmUp.isRunning(); step())
            QCoreApplication::processEvents();
    }
    void followsTheClosedForm_data();
    void followsTheClosedForm();
};

void tst_VornViewSpring::followsTheClosedForm_data()
{
    QTest::addColumn<qreal>("from");
    QTest::addColumn<qreal>("response");
    QTest::addColumn<int>("turnBackAt"); // ms after which the target returns to `from`; 0: never
    QTest::newRow("on, 0.5 s") << 0.0 << 0.5 << 0;
    QTest::newRow("off, 0.5 s") << 1.0 << 0.5 << 0;
    QTest::newRow("on, 0.25 s") << 0.0 << 0.25 << 0;
    QTest::newRow("turned back midway") << 0.0 << 0.5 << 150;
}

void tst_VornViewSpring::followsTheClosedForm()
{
    QFETCH(qreal, from);
    QFETCH(qreal, response);
    QFETCH(int, turnBackAt);
    const qreal to = 1 - from, omega = 2 * std::numbers::pi / response;
    CriticallyDampedSpring spring;
    spring.setResponse(response);
    spring.classBegin();
    spring.setTarget(from);
    spring.componentComplete();

    // x(t) = target + (a + b·t)·e^(−ωt), a = x₀ − target, b = v₀ + ω·a; never beyond from or to.
    qreal x0 = from, v0 = 0, target = to;
    const qint64 begin = m_msecs;
    qint64 start = begin;
    spring.setTarget(to);
    QCoreApplication::processEvents(); // the animation timer takes new animations on next turn
    while (spring.isRunning() && m_msecs - start < 5000) {
        step();
        const qreal t = (m_msecs - start) / 1000.0, a = x0 - target, b = v0 + omega * a;
        if (spring.isRunning())
            QCOMPARE_LT(std::abs(spring.value() - target - (a + b * t) * std::exp(-omega * t)),
                        1e-9);
        QVERIFY(spring.value() >= std::min(from, to) && spring.value() <= std::max(from, to));
        if (m_msecs - begin == turnBackAt) { // it goes on from where it is, at its speed
            v0 = (to - from) * omega * omega * t * std::exp(-omega * t);
            x0 = spring.value();
            target = from;
            start = m_msecs;
            spring.setTarget(from);
            QCoreApplication::processEvents();
        }
    }
    // At rest exactly on the target, about two responses later.
    QVERIFY(!spring.isRunning());
    QCOMPARE(spring.value(), target);
    QVERIFY(m_msecs - start > response * 1000 && m_msecs - start < response * 4000);
}

QTEST_GUILESS_MAIN(tst_VornViewSpring)
#include "tst_vornviewspring.moc"
