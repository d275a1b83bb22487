#pragma once

#include <QColor>
#include <QObject>
#include <QString>
#include <QUrl>
#include <QtQml/qqmlregistration.h>

// The application's asset catalogue: the named colours and images the views use. Names and their
// light and dark looks are read once from the catalogue in the resources (assets.json); which look
// applies follows the application palette (dark when its window colour is dark), so a change of
// the desktop's colour scheme re-colours every view that reads `colors`.
class Assets : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    // Whether the dark looks apply. Views pass it on to color(), which makes their bindings follow
    // a change of the desktop's colour scheme: Assets.color("TextPrimary", Assets.dark).
    Q_PROPERTY(bool dark READ isDark NOTIFY appearanceChanged)

public:
    explicit Assets(QObject *parent = nullptr);

    bool isDark() const { return m_dark; }
    // The named colour in the current look. An unknown name is a programming error: it warns and
    // yields an invalid colour (or URL, for images).
    QColor color(const QString &name) const;
    Q_INVOKABLE QUrl image(const QString &name) const;
    // The colour a fraction t of the way from `from` to `to`, component-wise in sRGB.
    Q_INVOKABLE static QColor mix(const QColor &from, const QColor &to, qreal t);

    // Every colour name in the catalogue.
    static QStringList colorNames();
    // The named colour in the light or the dark look.
    Q_INVOKABLE static QColor color(const QString &name, bool dark);

Q_SIGNALS:
    void appearanceChanged();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void updateAppearance();

    bool m_dark = false;
};
