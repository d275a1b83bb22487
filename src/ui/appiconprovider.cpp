#include "appiconprovider.h"

#include <QFileInfo>
#include <QStandardPaths>

namespace {

const QString genericIconName = QStringLiteral("application-x-executable");
constexpr int defaultIconSize = 28;

QIcon themeIcon(const QString &name)
{
    if (name.isEmpty())
        return {};
    if (QFileInfo(name).isAbsolute())
        return QFileInfo::exists(name) ? QIcon(name) : QIcon();
    QIcon icon = QIcon::fromTheme(name);
    if (!icon.isNull())
        return icon;
    // Older entries name a picture in the shared pixmaps folder rather than a theme icon.
    for (const char *suffix : {".png", ".svg", ".xpm"}) {
        const QString path = QLatin1String("/usr/share/pixmaps/") + name + QLatin1String(suffix);
        if (QFileInfo::exists(path))
            return QIcon(path);
    }
    return {};
}

} // namespace

AppIconProvider::AppIconProvider()
    : QQuickImageProvider(QQuickImageProvider::Pixmap)
{
    // A desktop's platform theme names its icon theme and folders. Without one (the offscreen
    // platform of a session without a display) Qt knows neither, so the XDG icon folders and the
    // freedesktop base theme are named here. "hicolor" holds few generic icons; Debian's desktop
    // icon theme stands behind it.
    QStringList paths = QIcon::themeSearchPaths();
    const QStringList xdgFolders
            = QStandardPaths::locateAll(QStandardPaths::GenericDataLocation,
                                        QStringLiteral("icons"), QStandardPaths::LocateDirectory);
    for (const QString &folder : xdgFolders) {
        if (!paths.contains(folder))
            paths.append(folder);
    }
    QIcon::setThemeSearchPaths(paths);
    if (QIcon::themeName().isEmpty())
        QIcon::setThemeName(QStringLiteral("hicolor"));
    if (QIcon::fallbackThemeName().isEmpty()
        || QIcon::fallbackThemeName() == QLatin1String("hicolor"))
        QIcon::setFallbackThemeName(QStringLiteral("Adwaita"));
}

QString AppIconProvider::urlFor(const QString &iconName)
{
    // Hex keeps the name intact whatever it holds: QML partly decodes percent-encoded image URLs.
    return QLatin1String("image://appicon/") + QString::fromLatin1(iconName.toUtf8().toHex());
}

QIcon AppIconProvider::iconFor(const QString &iconName)
{
    QIcon icon = themeIcon(iconName);
    if (icon.isNull())
        icon = QIcon::fromTheme(genericIconName);
    if (icon.isNull())
        icon = QIcon(QStringLiteral(":/vorn/symbols/application.svg"));
    return icon;
}

QPixmap AppIconProvider::requestPixmap(const QString &id, QSize *size, const QSize &requestedSize)
{
    const QString iconName = QString::fromUtf8(QByteArray::fromHex(id.toLatin1()));
    const QSize wanted = requestedSize.isValid() && !requestedSize.isEmpty()
            ? requestedSize
            : QSize(defaultIconSize, defaultIconSize);
    QPixmap pixmap = iconFor(iconName).pixmap(wanted);
    // Themes may hold only smaller sizes; the image is stretched to its 28 × 28 frame anyway.
    if (pixmap.size() != wanted)
        pixmap = pixmap.scaled(wanted, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    if (size)
        *size = pixmap.size();
    return pixmap;
}
