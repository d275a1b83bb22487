#pragma once

// Helpers shared by the window, picker and shell tests: a private home for the run, the stored
// defaults, items by object name, clicks, and screenshots.

#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QTest>

namespace VornUiTest {

// Points HOME and every XDG folder into a fresh temporary folder, before any store is created.
// XDG_DATA_DIRS points there too, so that only the test's own desktop entries are installed.
class TestHome
{
public:
    TestHome()
    {
        const QString root = m_dir.path();
        const QString runtime = root + QStringLiteral("/runtime");
        QDir().mkpath(runtime);
        QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("HOME", root.toUtf8());
        qputenv("XDG_CONFIG_HOME", (root + QStringLiteral("/config")).toUtf8());
        qputenv("XDG_DATA_HOME", (root + QStringLiteral("/data")).toUtf8());
        qputenv("XDG_CACHE_HOME", (root + QStringLiteral("/cache")).toUtf8());
        qputenv("XDG_STATE_HOME", (root + QStringLiteral("/state")).toUtf8());
        qputenv("XDG_DATA_DIRS", (root + QStringLiteral("/share")).toUtf8());
        qputenv("XDG_RUNTIME_DIR", runtime.toUtf8());
        qunsetenv("VORN_CLOUD_DIR");
        QDir().mkpath(applicationsFolder());
    }

    QString path() const { return m_dir.path(); }
    QString applicationsFolder() const
    {
        return m_dir.path() + QStringLiteral("/data/applications");
    }
    QString defaultsFile() const
    {
        return m_dir.path() + QStringLiteral("/config/vorn/defaults.json");
    }

    QJsonObject defaults() const
    {
        QFile file(defaultsFile());
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QJsonDocument::fromJson(file.readAll()).object();
    }

    // The stored block list, sorted; {"<absent>"} when the key is absent.
    QStringList storedBlockList() const
    {
        const QJsonObject stored = defaults();
        if (!stored.contains(QLatin1String("blockedBundleIDs")))
            return {QStringLiteral("<absent>")};
        QStringList ids
                = stored.value(QLatin1String("blockedBundleIDs")).toVariant().toStringList();
        ids.sort();
        return ids;
    }

    // Installs a desktop entry <id>.desktop with the given name and Icon= value.
    QString addApplication(const QString &id, const QString &name, const QString &icon = {}) const
    {
        const QString path
                = applicationsFolder() + QLatin1Char('/') + id + QStringLiteral(".desktop");
        QFile file(path);
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        QByteArray text
                = "[Desktop Entry]\nType=Application\nName=" + name.toUtf8() + "\nExec=/bin/true\n";
        if (!icon.isEmpty())
            text += "Icon=" + icon.toUtf8() + '\n';
        file.write(text);
        return path;
    }

private:
    QTemporaryDir m_dir;
};

// Items by object name in the visual tree under root (delegates and popups included, which are
// not QObject children of the view), in tree order.
inline QList<QQuickItem *> findAll(QQuickItem *root, const QString &objectName)
{
    QList<QQuickItem *> found;
    if (!root)
        return found;
    const QList<QQuickItem *> children = root->childItems();
    for (QQuickItem *child : children) {
        if (child->objectName() == objectName)
            found.append(child);
        found.append(findAll(child, objectName));
    }
    return found;
}

// The first item of that name under root. When there is none the test fails, and an empty
// stand-in item is returned so that the rest of the test function runs without crashing.
inline QQuickItem *find(QQuickItem *root, const QString &objectName)
{
    const QList<QQuickItem *> found = findAll(root, objectName);
    if (!found.isEmpty())
        return found.constFirst();
    QTest::qFail(qPrintable(QStringLiteral("no item named ") + objectName), __FILE__, __LINE__);
    static QQuickItem standIn;
    return &standIn;
}

inline QPoint scenePoint(QQuickItem *item, QPointF local)
{
    return item->mapToScene(local).toPoint();
}

inline void click(QQuickItem *item, QPointF local)
{
    QTest::mouseClick(item->window(), Qt::LeftButton, Qt::NoModifier, scenePoint(item, local));
}

inline void click(QQuickItem *item)
{
    click(item, QPointF(item->width() / 2, item->height() / 2));
}

// Saves what the window shows under $VORN_SCREENSHOT_DIR/<name>.png when that variable is set.
inline void screenshot(QQuickWindow *window, const QString &name)
{
    const QString folder = qEnvironmentVariable("VORN_SCREENSHOT_DIR");
    if (folder.isEmpty())
        return;
    QDir().mkpath(folder);
    const QImage image = window->grabWindow();
    QVERIFY2(image.save(folder + QLatin1Char('/') + name + QStringLiteral(".png")),
             qPrintable(folder));
}

} // namespace VornUiTest
