#pragma once

#include <QColor>
#include <QImage>
#include <QQuickPaintedItem>
#include <QUrl>
#include <QtQml/qqmlregistration.h>

#include <memory>

class QSvgRenderer;

// Draws an SVG as a template: only its shape counts, every painted pixel takes `color`. The shape
// is scaled to fit the item with its aspect ratio kept. `aspectRatio` (width / height of the
// picture) lets a view give the item a height and derive its width.
class TemplateImage : public QQuickPaintedItem
{
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QUrl source READ source WRITE setSource NOTIFY sourceChanged)
    Q_PROPERTY(QColor color READ color WRITE setColor NOTIFY colorChanged)
    Q_PROPERTY(qreal aspectRatio READ aspectRatio NOTIFY sourceChanged)

public:
    explicit TemplateImage(QQuickItem *parent = nullptr);
    ~TemplateImage() override;

    QUrl source() const { return m_source; }
    void setSource(const QUrl &source);
    QColor color() const { return m_color; }
    void setColor(const QColor &color);
    qreal aspectRatio() const;

    void paint(QPainter *painter) override;

Q_SIGNALS:
    void sourceChanged();
    void colorChanged();

private:
    QUrl m_source;
    QColor m_color = Qt::black;
    std::unique_ptr<QSvgRenderer> m_renderer;
    QImage m_mask; // the shape rendered at the current pixel size, reused while the colour moves
};
