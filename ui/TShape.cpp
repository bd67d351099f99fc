#include "TShape.h"

#include "LampAccessible.h"

#include <cmath>
#include <vector>

#include <QAccessible>
#include <QMouseEvent>
#include <QPaintEngine>
#include <QPainter>

namespace {

QColor toQColor(TColor color) {
    return QColor(static_cast<int>(color & 0xFF), static_cast<int>((color >> 8) & 0xFF),
                  static_cast<int>((color >> 16) & 0xFF));
}

// A lamp's whole square, background and circle, in device pixels.
struct Face {
    TColor color;
    QSize size;
    int ratio;
    QRgb background;
    QImage image;
};

// The faces drawn so far. The panel needs two (red and green, one size, one screen); the bound keeps a
// program that paints many colours from growing it without end.
const QImage &cachedFace(TColor color, QSize size, int ratio, QRgb background) {
    static std::vector<Face> faces;
    constexpr std::size_t MaxFaces = 16;
    for (const Face &face : faces) {
        if (face.color == color && face.size == size && face.ratio == ratio && face.background == background)
            return face.image;
    }
    if (faces.size() == MaxFaces)
        faces.erase(faces.begin());
    QImage image(size * ratio, QImage::Format_RGB32);
    image.setDevicePixelRatio(ratio);
    image.fill(background);
    QPainter painter(&image);
    TShape::drawFace(painter, size, color);
    painter.end();
    faces.push_back({color, size, ratio, background, std::move(image)});
    return faces.back().image;
}

} // namespace

// The lamp paints its whole square, so a lamp that changes colour repaints itself alone and not the window
// behind it.
TShape::TShape(QWidget *parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    installLampAccessibility();
}

void TShape::setBrushColor(TColor color) {
    if (changeBrushColor(color))
        update();
}

bool TShape::changeBrushColor(TColor color) {
    if (color == brushColor_)
        return false;
    const bool wasOn = brushColor_ != clLime;
    brushColor_ = color;
    if (wasOn != (color != clLime))
        announceState();
    return true;
}

// Tells assistive technology that the lamp went on or off.
void TShape::announceState() {
    if (!QAccessible::isActive())
        return;
    QAccessible::State changed;
    changed.checked = true;
    QAccessibleStateChangeEvent stateChange(this, changed);
    QAccessible::updateAccessibility(&stateChange);
    QAccessibleEvent descriptionChange(this, QAccessible::DescriptionChanged);
    QAccessible::updateAccessibility(&descriptionChange);
}

void TShape::drawFace(QPainter &painter, QSize size, TColor color) {
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::black, 1));
    painter.setBrush(toQColor(color));
    const int diameter = qMin(size.width(), size.height()) - 1;
    painter.drawEllipse(
        QRectF((size.width() - diameter) / 2.0, (size.height() - diameter) / 2.0, diameter, diameter)
            .adjusted(0.5, 0.5, -0.5, -0.5));
}

// A copy of the face drawn once, when the background is a plain colour and the pixel ratio whole (where a
// copy is exactly what drawing would give); otherwise drawn afresh.
void TShape::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    const QBrush &background = palette().brush(backgroundRole());
    const qreal ratio = painter.paintEngine()->paintDevice()->devicePixelRatio();
    if (background.style() == Qt::SolidPattern && background.isOpaque() && ratio == std::floor(ratio)) {
        painter.drawImage(0, 0,
                          cachedFace(brushColor_, size(), static_cast<int>(ratio), background.color().rgb()));
        return;
    }
    painter.fillRect(rect(), background);
    drawFace(painter, size(), brushColor_);
}

void TShape::mouseReleaseEvent(QMouseEvent *event) {
    const QPoint position = event->position().toPoint();
    emit mouseUp(this, event->button(), event->modifiers(), position.x(), position.y());
}
