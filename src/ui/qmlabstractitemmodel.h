#pragma once

#include <QAbstractItemModel>
#include <QQmlEngine>

// Describes QAbstractItemModel to the QML tooling: Qt 6.4 declares the list model's base in none
// of its own modules, so without this the type checker cannot resolve the picker's model.
struct QmlAbstractItemModel
{
    Q_GADGET
    QML_FOREIGN(QAbstractItemModel)
    QML_ANONYMOUS
};
