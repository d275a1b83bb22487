#pragma once

#include "blocklist.h"

#include <QQmlEngine>

// Makes BlockList::shared() the QML singleton `BlockList`: the views edit the same set that the
// enforcement reads.
struct QmlBlockList
{
    Q_GADGET
    QML_FOREIGN(BlockList)
    QML_NAMED_ELEMENT(BlockList)
    QML_SINGLETON

public:
    static BlockList *create(QQmlEngine *, QJSEngine *)
    {
        BlockList *list = BlockList::shared();
        QJSEngine::setObjectOwnership(list, QJSEngine::CppOwnership);
        return list;
    }
};
