// A round lamp: a filled circle in its brush colour that reports the release of a mouse button.
#pragma once

#include <QWidget>

#include "Lamps.h"

class TShape : public QWidget {
    Q_OBJECT

public:
    explicit TShape(QWidget *parent = nullptr);

    TColor brushColor() const { return brushColor_; }
    // Changes the colour; the lamp is repainted when the event loop next runs.
    void setBrushColor(TColor color);
    // Changes the colour and leaves the repaint to the caller; whether the colour changed.
    bool changeBrushColor(TColor color);

    // A lamp's face drawn afresh: an antialiased circle in `color` with a one-pixel black rim, centred in
    // a square of `size`. Lamps show copies of it made once per colour, size, pixel ratio and background.
    static void drawFace(QPainter &painter, QSize size, TColor color);

signals:
    void mouseUp(QObject *sender, Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    // A lamp sets every pen and brush it paints with: the widget's font and palette are not copied into
    // each painter, which saves a good part of what starting one costs.
    void initPainter(QPainter *) const override {}

private:
    void announceState();

    TColor brushColor_ = clRed;
};
