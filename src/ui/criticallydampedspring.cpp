#include "criticallydampedspring.h"

#include <QAbstractAnimation>

#include <cmath>
#include <numbers>

// Runs until the spring settles; hands the animation clock's time to the spring.
class CriticallyDampedSpring::Driver : public QAbstractAnimation
{
public:
    explicit Driver(CriticallyDampedSpring *spring)
        : m_spring(spring)
    {
    }
    int duration() const override { return -1; }

protected:
    void updateCurrentTime(int msecs) override { m_spring->advanceTo(msecs); }
    void updateState(State, State) override { Q_EMIT m_spring->runningChanged(); }

private:
    CriticallyDampedSpring *m_spring;
};

namespace {
// Closer than this to the target and this slow, the spring is at rest: far below one pixel or one
// colour step on anything it drives.
constexpr qreal restPosition = 1e-4;
constexpr qreal restVelocity = 1e-3;
} // namespace

CriticallyDampedSpring::CriticallyDampedSpring(QObject *parent)
    : QObject(parent)
    , m_driver(std::make_unique<Driver>(this))
{
}

CriticallyDampedSpring::~CriticallyDampedSpring()
{
    // Stop first: stopping reports a state change, which must not reach a half-destroyed spring.
    m_driver->stop();
}

bool CriticallyDampedSpring::isRunning() const
{
    return m_driver->state() == QAbstractAnimation::Running;
}

qreal CriticallyDampedSpring::omega() const
{
    return 2 * std::numbers::pi / m_response;
}

CriticallyDampedSpring::Motion CriticallyDampedSpring::evolve(Motion start, qreal target,
                                                              qreal omega, qreal seconds)
{
    const qreal a = start.position - target;
    const qreal b = start.velocity + omega * a;
    const qreal decay = std::exp(-omega * seconds);
    return {target + (a + b * seconds) * decay, (b - omega * (a + b * seconds)) * decay};
}

void CriticallyDampedSpring::setTarget(qreal target)
{
    if (target == m_target)
        return;
    m_target = target;
    Q_EMIT targetChanged();
    if (!m_complete) {
        m_motion = {target, 0};
        Q_EMIT valueChanged();
        return;
    }
    // Continue from where the spring is now, with its current velocity.
    m_driver->stop();
    m_start = m_motion;
    m_startMsecs = 0;
    m_driver->start();
}

void CriticallyDampedSpring::setResponse(qreal seconds)
{
    if (!(seconds > 0) || seconds == m_response)
        return;
    m_response = seconds;
    Q_EMIT responseChanged();
}

void CriticallyDampedSpring::componentComplete()
{
    m_complete = true;
}

void CriticallyDampedSpring::advanceTo(int msecs)
{
    const qreal seconds = (msecs - m_startMsecs) / 1000.0;
    m_motion = evolve(m_start, m_target, omega(), seconds);
    if (std::abs(m_motion.position - m_target) < restPosition
        && std::abs(m_motion.velocity) < restVelocity) {
        m_motion = {m_target, 0};
        Q_EMIT valueChanged();
        m_driver->stop();
        return;
    }
    Q_EMIT valueChanged();
}
