#pragma once

#include <QObject>
#include <QQmlParserStatus>
#include <QtQml/qqmlregistration.h>

#include <memory>

// A critically damped spring (damping fraction 1) that carries `value` to `target`:
//   x(t) = target + (A + B·t)·e^(−ω·t),  ω = 2π / response,
// with A and B set by the position and velocity at the moment the target was set. Started at rest
// it never overshoots; a new target mid-way continues from the current position and velocity, so
// the motion has no jumps. Until the component is complete the value jumps to the target, so a view
// opens showing its current state rather than animating into it.
//
// A QML SpringAnimation is parameterised by spring constant and damping rather than response and
// damping fraction and snaps at its epsilon; this class follows the closed form instead, ticked by
// Qt's animation timer (the window's frame clock).
class CriticallyDampedSpring : public QObject, public QQmlParserStatus
{
    Q_OBJECT
    QML_ELEMENT
    Q_INTERFACES(QQmlParserStatus)
    Q_PROPERTY(qreal target READ target WRITE setTarget NOTIFY targetChanged)
    Q_PROPERTY(qreal value READ value NOTIFY valueChanged)
    // Seconds; the period of the undamped spring.
    Q_PROPERTY(qreal response READ response WRITE setResponse NOTIFY responseChanged)
    Q_PROPERTY(bool running READ isRunning NOTIFY runningChanged)

public:
    struct Motion
    {
        qreal position = 0;
        qreal velocity = 0; // per second
    };

    explicit CriticallyDampedSpring(QObject *parent = nullptr);
    ~CriticallyDampedSpring() override;

    qreal target() const { return m_target; }
    void setTarget(qreal target);
    qreal value() const { return m_motion.position; }
    qreal response() const { return m_response; }
    void setResponse(qreal seconds);
    bool isRunning() const;

    // Where a spring of angular frequency omega that left `start` towards `target` is after
    // `seconds`.
    static Motion evolve(Motion start, qreal target, qreal omega, qreal seconds);

    void classBegin() override { }
    void componentComplete() override;

Q_SIGNALS:
    void targetChanged();
    void valueChanged();
    void responseChanged();
    void runningChanged();

private:
    class Driver;
    friend class Driver;

    void advanceTo(int msecs);
    qreal omega() const;

    qreal m_target = 0;
    qreal m_response = 0.5;
    bool m_complete = false;
    Motion m_motion;
    Motion m_start; // the motion when the current target was set
    int m_startMsecs = 0;
    std::unique_ptr<Driver> m_driver;
};
