#include "templateimage.h"

#include <QPainter>
#include <QQuickWindow>
#include <QSvgRenderer>

TemplateImage::TemplateImage(QQuickItem *parent)
    : QQuickPaintedItem(parent)
    , m_renderer(std::make_unique<QSvgRenderer>())
{
    m_renderer->setAspectRatioMode(Qt::KeepAspectRatio);
}

TemplateImage::~TemplateImage() = default;

void TemplateImage::setSource(const QUrl &source)
{
    if (source == m_source)
        return;
    m_source = source;
    QString file;
    if (source.scheme() == QLatin1String("qrc"))
        file = QLatin1Char(':') + source.path();
    else if (source.isLocalFile())
        file = source.toLocalFile();
    if (file.isEmpty() || !m_renderer->load(file))
        m_renderer = std::make_unique<QSvgRenderer>(); // draws nothing
    m_renderer->setAspectRatioMode(Qt::KeepAspectRatio);
    m_mask = QImage();
    Q_EMIT sourceChanged();
    update();
}

void TemplateImage::setColor(const QColor &color)
{
    if (color == m_color)
        return;
    m_color = color;
    Q_EMIT colorChanged();
    update();
}

qreal TemplateImage::aspectRatio() const
{
    const QRectF box = m_renderer->viewBoxF();
    return box.height() > 0 ? box.width() / box.height() : 1.0;
}

void TemplateImage::paint(QPainter *painter)
{
    if (!m_renderer->isValid() || width() <= 0 || height() <= 0)
        return;
    const qreal dpr = window() ? window()->effectiveDevicePixelRatio() : 1.0;
    const QSize pixels = (size() * dpr).toSize();
    if (m_mask.size() != pixels) {
        m_mask = QImage(pixels, QImage::Format_ARGB32_Premultiplied);
        m_mask.fill(Qt::transparent);
        QPainter maskPainter(&m_mask);
        maskPainter.setRenderHint(QPainter::Antialiasing);
        m_renderer->render(&maskPainter, QRectF(QPointF(0, 0), QSizeF(pixels)));
    }
    // Keep the shape's coverage (alpha), replace its colour.
    QImage tinted = m_mask;
    {
        QPainter tintPainter(&tinted);
        tintPainter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        tintPainter.fillRect(tinted.rect(), m_color);
    }
    tinted.setDevicePixelRatio(dpr);
    painter->drawImage(QRectF(QPointF(0, 0), size()), tinted);
}
