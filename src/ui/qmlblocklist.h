#pragma once

#include "blocklist.h"

#include <QQmlEngine>

// Makes the process's one BlockList the QML singleton `BlockList`: the views edit the same set
// that the enforcement reads. The application shell hands over its list with setInstance() before
// it loads a view; the list stays owned by the shell and outlives the engines.
struct QmlBlockList
{
    Q_GADGET
    QML_FOREIGN(BlockList)
    QML_NAMED_ELEMENT(BlockList)
    QML_SINGLETON

public:
    static void setInstance(BlockList *list) { s_instance = list; }
    static BlockList *create(QQmlEngine *, QJSEngine *)
    {
        Q_ASSERT_X(s_instance, "QmlBlockList", "no BlockList set before loading a view");
        QJSEngine::setObjectOwnership(s_instance, QJSEngine::CppOwnership);
        return s_instance;
    }

private:
    static inline BlockList *s_instance = nullptr;
};
