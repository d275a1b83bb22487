#pragma once

// Helpers shared by the window, picker and shell tests.

#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonDocument>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QTest>

namespace VornUiTest {

// Points HOME, every XDG folder (XDG_DATA_DIRS included) and the runtime folder into a fresh
// temporary folder, before any store is created.
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
        for (const char *name : {"CONFIG", "DATA", "CACHE", "STATE"})
            qputenv(QByteArray("XDG_") + name + "_HOME",
                    (root + '/' + QString::fromLatin1(name).toLower()).toUtf8());
        qputenv("XDG_DATA_DIRS", (root + QStringLiteral("/share")).toUtf8());
        qputenv("XDG_RUNTIME_DIR", runtime.toUtf8());
        qunsetenv("VORN_CLOUD_DIR");
        QDir().mkpath(root + QStringLiteral("/data/applications"));
    }

    QString path() const { return m_dir.path(); }
    QString defaultsFile() const { return path() + QStringLiteral("/config/vorn/defaults.json"); }

    // The stored block list, sorted; {"<not an array>"} when the key is absent or not an array.
    QStringList storedBlockList() const
    {
        QFile file(defaultsFile());
        file.open(QIODevice::ReadOnly);
        const QJsonValue ids
                = QJsonDocument::fromJson(file.readAll())[QLatin1String("blockedBundleIDs")];
        if (!ids.isArray())
            return {QStringLiteral("<not an array>")};
        QStringList sorted = ids.toVariant().toStringList();
        sorted.sort();
        return sorted;
    }

    // Installs a desktop entry <id>.desktop (no Icon= line when icon is empty); returns its path.
    QString addApplication(const QString &id, const QString &name, const QString &icon = {},
                           const QString &exec = QStringLiteral("/bin/true")) const
    {
        QFile file(path() + QStringLiteral("/data/applications/") + id
                   + QStringLiteral(".desktop"));
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        file.write(QStringLiteral("[Desktop Entry]\nType=Application\nName=%1\nExec=%2\n%3")
                           .arg(name, exec, icon.isEmpty() ? QString() : "Icon=" + icon + '\n')
                           .toUtf8());
        return file.fileName();
    }

private:
    QTemporaryDir m_dir;
};

// Items by object name in the visual tree under root (delegates and popups included), in order.
inline QList<QQuickItem *> findAll(QQuickItem *root, const QString &objectName)
{
    QList<QQuickItem *> found;
    for (QQuickItem *child : root ? root->childItems() : QList<QQuickItem *>()) {
        if (child->objectName() == objectName)
            found.append(child);
        found.append(findAll(child, objectName));
    }
    return found;
}

// The first item of that name; fails the test and returns a stand-in when there is none.
inline QQuickItem *find(QQuickItem *root, const QString &objectName)
{
    const QList<QQuickItem *> found = findAll(root, objectName);
    if (!found.isEmpty())
        return found.constFirst();
    QTest::qFail(qPrintable(QStringLiteral("no item named ") + objectName), __FILE__, __LINE__);
    static QQuickItem standIn;
    return &standIn;
}

inline void click(QQuickItem *item, QPointF local = {-1, -1})
{
    if (local.x() < 0)
        local = QPointF(item->width() / 2, item->height() / 2);
    QTest::mouseClick(item->window(), Qt::LeftButton, Qt::NoModifier,
                      item->mapToScene(local).toPoint());
}

// Saves what the window shows under $VORN_SCREENSHOT_DIR/<name>.png when that variable is set.
inline void screenshot(QQuickWindow *window, const QString &name)
{
    const QString folder = qEnvironmentVariable("VORN_SCREENSHOT_DIR");
    if (!folder.isEmpty() && QDir().mkpath(folder))
        QVERIFY(window->grabWindow().save(folder + '/' + name + QStringLiteral(".png")));
}

} // namespace VornUiTest
