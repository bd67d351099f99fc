#include "TShape.h"

#include "LampAccessible.h"

#include <QAccessible>
#include <QMouseEvent>
#include <QPainter>

namespace {

QColor toQColor(TColor color) {
    return QColor(static_cast<int>(color & 0xFF), static_cast<int>((color >> 8) & 0xFF),
                  static_cast<int>((color >> 16) & 0xFF));
}

} // namespace

// The lamp fills its own square with the window's background, so a lamp that changes colour repaints
// itself alone and not the window behind it.
TShape::TShape(QWidget *parent) : QWidget(parent) {
    setAutoFillBackground(true);
    installLampAccessibility();
}

void TShape::setBrushColor(TColor color) {
    if (color == brushColor_)
        return;
    const bool wasOn = brushColor_ != clLime;
    brushColor_ = color;
    update();
    if (wasOn != (color != clLime))
        announceState();
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

void TShape::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::black, 1));
    painter.setBrush(toQColor(brushColor_));
    const int diameter = qMin(width(), height()) - 1;
    painter.drawEllipse(QRectF((width() - diameter) / 2.0, (height() - diameter) / 2.0, diameter, diameter)
                            .adjusted(0.5, 0.5, -0.5, -0.5));
}

void TShape::mouseReleaseEvent(QMouseEvent *event) {
    const QPoint position = event->position().toPoint();
    emit mouseUp(this, event->button(), event->modifiers(), position.x(), position.y());
}
