#include "assets.h"

#include <QLoggingCategory>

#include <QEvent>
#include <QFile>
#include <QGuiApplication>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPalette>

namespace {
Q_LOGGING_CATEGORY(lcAssets, "vorn.ui.assets")
}

namespace {

struct Catalogue
{
    QHash<QString, QColor> light;
    QHash<QString, QColor> dark;
    QHash<QString, QUrl> images;
};

// The catalogue ships inside the binary, so reading it cannot fail at run time; it is parsed once.
const Catalogue &catalogue()
{
    static const Catalogue parsed = [] {
        Catalogue result;
        QFile file(QStringLiteral(":/vorn/assets.json"));
        file.open(QIODevice::ReadOnly);
        const QJsonObject root = QJsonDocument::fromJson(file.readAll()).object();
        const QJsonObject colors = root.value(QLatin1String("colors")).toObject();
        for (auto it = colors.begin(); it != colors.end(); ++it) {
            const QJsonObject looks = it.value().toObject();
            result.light.insert(it.key(), QColor(looks.value(QLatin1String("light")).toString()));
            result.dark.insert(it.key(), QColor(looks.value(QLatin1String("dark")).toString()));
        }
        const QJsonObject images = root.value(QLatin1String("images")).toObject();
        for (auto it = images.begin(); it != images.end(); ++it)
            result.images.insert(it.key(),
                                 QUrl(QLatin1String("qrc:/vorn/") + it.value().toString()));
        return result;
    }();
    return parsed;
}

} // namespace

Assets::Assets(QObject *parent)
    : QObject(parent)
{
    updateAppearance();
    if (qApp)
        qApp->installEventFilter(this);
}

QColor Assets::color(const QString &name) const
{
    return color(name, m_dark);
}

QColor Assets::color(const QString &name, bool dark)
{
    const auto &looks = dark ? catalogue().dark : catalogue().light;
    const auto it = looks.find(name);
    if (it == looks.end()) {
        qCWarning(lcAssets, "no colour named %s", qPrintable(name));
        return {};
    }
    return *it;
}

QUrl Assets::image(const QString &name) const
{
    const QUrl url = catalogue().images.value(name);
    if (url.isEmpty())
        qCWarning(lcAssets, "no image named %s", qPrintable(name));
    return url;
}

QColor Assets::mix(const QColor &from, const QColor &to, qreal t)
{
    const auto blend = [t](float a, float b) {
        return a + (b - a) * float(t);
    };
    const QColor a = from.toRgb();
    const QColor b = to.toRgb();
    return QColor::fromRgbF(blend(a.redF(), b.redF()), blend(a.greenF(), b.greenF()),
                            blend(a.blueF(), b.blueF()), blend(a.alphaF(), b.alphaF()));
}

QStringList Assets::colorNames()
{
    QStringList names = catalogue().light.keys();
    names.sort();
    return names;
}

bool Assets::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange)
        updateAppearance();
    return QObject::eventFilter(watched, event);
}

void Assets::updateAppearance()
{
    // The desktop's colour scheme reaches Qt as the application palette; a dark window colour is
    // the one signal every platform theme gives.
    const bool dark = QGuiApplication::palette().color(QPalette::Window).lightnessF() < 0.5;
    if (dark == m_dark)
        return;
    m_dark = dark;
    Q_EMIT appearanceChanged();
}
