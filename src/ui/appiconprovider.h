#pragma once

#include <QIcon>
#include <QQuickImageProvider>

// Serves "image://appicon/<hex of the desktop entry path>": the icon that the entry's Icon=
// names, looked up in the desktop's icon theme (or read from the absolute path it gives). An entry
// without a usable icon gets the theme's generic "application-x-executable", and without that a
// generic icon of Vorn's own, so every row always has an image. Nothing is cached: each request
// reads the entry again, so a changed icon shows at the next opening of the picker.
class AppIconProvider : public QQuickImageProvider
{
public:
    AppIconProvider();

    QPixmap requestPixmap(const QString &id, QSize *size, const QSize &requestedSize) override;

    static QString urlFor(const QString &desktopEntryPath);
    static QIcon iconForEntry(const QString &desktopEntryPath);
};
