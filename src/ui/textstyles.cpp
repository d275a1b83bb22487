#include "textstyles.h"

#include <QEvent>
#include <QGuiApplication>

TextStyles::TextStyles(QObject *parent)
    : QObject(parent)
{
    if (qApp)
        qApp->installEventFilter(this);
}

bool TextStyles::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == qApp && event->type() == QEvent::ApplicationFontChange)
        Q_EMIT fontsChanged();
    return QObject::eventFilter(watched, event);
}

QFont TextStyles::scaled(qreal factor)
{
    QFont font = QGuiApplication::font();
    // Platform themes give the system font either in points or in pixels.
    if (font.pointSizeF() > 0)
        font.setPointSizeF(font.pointSizeF() * factor);
    else if (font.pixelSize() > 0)
        font.setPixelSize(qRound(font.pixelSize() * factor));
    return font;
}
