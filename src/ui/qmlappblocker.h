#pragma once

#include "appblocker.h"

#include <QQmlEngine>

// Makes the process's one AppBlocker the QML singleton `AppBlocker`, shared by every view of every
// window. The application shell hands over its blocker with setInstance() before it loads a view;
// the blocker stays owned by the shell and outlives the engines.
struct QmlAppBlocker
{
    Q_GADGET
    QML_FOREIGN(AppBlocker)
    QML_NAMED_ELEMENT(AppBlocker)
    QML_SINGLETON

public:
    static void setInstance(AppBlocker *blocker) { s_instance = blocker; }
    static AppBlocker *instance() { return s_instance; }
    static AppBlocker *create(QQmlEngine *, QJSEngine *)
    {
        // A view without a blocker is a programming error of whoever loads it.
        Q_ASSERT_X(s_instance, "QmlAppBlocker", "no AppBlocker set before loading a view");
        QJSEngine::setObjectOwnership(s_instance, QJSEngine::CppOwnership);
        return s_instance;
    }

private:
    static inline AppBlocker *s_instance = nullptr;
};
