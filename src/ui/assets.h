#pragma once

#include <QColor>
#include <QObject>
#include <QString>
#include <QUrl>
#include <QVariantMap>
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
    // Colour by asset name, in the current look: Assets.colors["TextPrimary"].
    Q_PROPERTY(QVariantMap colors READ colors NOTIFY appearanceChanged)
    Q_PROPERTY(bool dark READ isDark NOTIFY appearanceChanged)

public:
    explicit Assets(QObject *parent = nullptr);

    bool isDark() const { return m_dark; }
    QVariantMap colors() const;
    // An unknown name is a programming error: warns and yields an invalid colour or URL.
    QColor color(const QString &name) const;
    Q_INVOKABLE QUrl image(const QString &name) const;
    // The colour a fraction t of the way from `from` to `to`, component-wise in sRGB.
    Q_INVOKABLE static QColor mix(const QColor &from, const QColor &to, qreal t);

    // Every colour name in the catalogue, light and dark.
    static QStringList colorNames();
    static QColor color(const QString &name, bool dark);

Q_SIGNALS:
    void appearanceChanged();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void updateAppearance();

    bool m_dark = false;
};
