#pragma once

#include <QIcon>
#include <QQuickImageProvider>

// Serves "image://appicon/<hex of the icon name>": the icon an installed application names (see
// InstalledApp::icon), looked up in the desktop's icon theme (or read from the absolute path it
// gives). An application without a usable icon gets the theme's generic
// "application-x-executable", and without that a generic icon of Vorn's own, so every row always
// has an image. Nothing is cached: the picker scans the applications at each opening, so a
// changed icon shows at the next one.
class AppIconProvider : public QQuickImageProvider
{
public:
    AppIconProvider();

    QPixmap requestPixmap(const QString &id, QSize *size, const QSize &requestedSize) override;

    // The image URL of an application's icon, from the name the applications seam gives it.
    static QString urlFor(const QString &iconName);
    static QIcon iconFor(const QString &iconName);
};
