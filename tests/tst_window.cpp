// The window as it starts: controls, geometry, tab order, lamps and lamp clicks.
#include <QtTest>

#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>

#include "PanelFixture.h"

class WindowTest : public QObject {
    Q_OBJECT

private slots:
    void init() { panel = std::make_unique<Panel>(); }
    void cleanup() { panel.reset(); }

    void startsEmptyWithAllLampsRed() {
        TForm1 &form = *panel->form;
        QCOMPARE(form.windowTitle(), QStringLiteral("Test USB DIO"));
        QCOMPARE(form.size(), QSize(559, 370));
        QCOMPARE(form.pos(), QPoint(225, 105));
        QVERIFY(form.Edit1->text().isEmpty());
        QCOMPARE(form.ComboBox1->count(), 0);
        QCOMPARE(form.ComboBox2->count(), 0);
        QVERIFY(form.ComboBox1->currentText().isEmpty());
        for (int k = 1; k <= LampCount; ++k)
            QCOMPARE(form.lamp(k)->brushColor(), clRed);
        QCOMPARE(form.Label11->text(), QStringLiteral("SW Version :"));
        QVERIFY(panel->status().isEmpty());
        QVERIFY(fake::calls().empty());
    }

    void timerTicksEveryHundredMillisecondsFromConstruction() {
        TForm1 form;
        QVERIFY(form.Timer1->isActive());
        QCOMPARE(form.Timer1->interval(), 100);
    }

    void controlsSitWhereTheyBelong_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<QString>("caption");
        QTest::newRow("Label1") << "Label1" << QRect(16, 8, 97, 13) << "Number of Devices :";
        QTest::newRow("Edit1") << "Edit1" << QRect(120, 8, 49, 21) << "";
        QTest::newRow("Label2") << "Label2" << QRect(28, 32, 85, 13) << "Selected Device :";
        QTest::newRow("ComboBox1") << "ComboBox1" << QRect(120, 32, 177, 21) << "";
        QTest::newRow("Label3") << "Label3" << QRect(17, 56, 96, 13) << "Device Description :";
        QTest::newRow("ComboBox2") << "ComboBox2" << QRect(120, 56, 361, 21) << "";
        QTest::newRow("Button1") << "Button1" << QRect(96, 88, 121, 33) << "Get Devices";
        QTest::newRow("Button4") << "Button4" << QRect(328, 88, 105, 33) << "Get SW Version";
        QTest::newRow("Label4") << "Label4" << QRect(133, 144, 28, 13) << "Port 0";
        QTest::newRow("Label5") << "Label5" << QRect(373, 144, 28, 13) << "Port 1";
        QTest::newRow("Label9") << "Label9" << QRect(127, 208, 34, 13) << "Port 10";
        QTest::newRow("Label10") << "Label10" << QRect(367, 208, 34, 13) << "Port 11";
        QTest::newRow("Button2") << "Button2" << QRect(96, 280, 121, 33) << "Read Ports";
        QTest::newRow("Button3") << "Button3" << QRect(328, 280, 121, 33) << "Set Ports";
        QTest::newRow("StatusBar1") << "StatusBar1" << QRect(0, 345, 559, 25) << "";
    }
    void controlsSitWhereTheyBelong() {
        QFETCH(QString, name);
        QFETCH(QRect, geometry);
        QFETCH(QString, caption);
        QWidget *control = control_(name);
        QVERIFY(control != nullptr);
        QCOMPARE(control->geometry(), geometry);
        if (auto *label = qobject_cast<QLabel *>(control)) {
            QCOMPARE(label->text(), caption);
            QVERIFY(label->alignment() & Qt::AlignRight);
            // the whole caption fits the label's given width
            QVERIFY2(label->fontMetrics().horizontalAdvance(caption) <= geometry.width(),
                     qPrintable(caption));
        } else if (auto *button = qobject_cast<QPushButton *>(control)) {
            QCOMPARE(button->text(), caption);
            QVERIFY(button->fontMetrics().horizontalAdvance(caption) < geometry.width() - 8);
        }
    }

    void versionLabelWidensToItsCaption() {
        QLabel *label = panel->form->Label11;
        QCOMPARE(label->pos(), QPoint(376, 32));
        QCOMPARE(label->font().pixelSize(), 13);
        QVERIFY(label->width() >= label->fontMetrics().horizontalAdvance(label->text()));
    }

    void listsAreDropDownOnly() {
        QVERIFY(!panel->form->ComboBox1->isEditable());
        QVERIFY(!panel->form->ComboBox2->isEditable());
    }

    void lampsStandInTwoRowsWithBitSevenLeftmost() {
        for (int k = 1; k <= LampCount; ++k) {
            const int bit = (k - 1) % 8;
            const int right = ((k - 1) / 8) % 2 == 0 ? 224 : 464;
            const int top = k <= 16 ? 168 : 232;
            QCOMPARE(panel->form->lamp(k)->geometry(), QRect(right - 24 * bit, top, 17, 17));
        }
        QCOMPARE(panel->form->Shape1->x(), 224);
        QCOMPARE(panel->form->Shape8->x(), 56);
        QCOMPARE(panel->form->Shape16->x(), 296);
        QCOMPARE(panel->form->Shape32->pos(), QPoint(296, 232));
    }

    void onlyOutputLampsCarryTheHint() {
        for (int k = 1; k <= LampCount; ++k)
            QCOMPARE(panel->form->lamp(k)->toolTip(),
                     k >= 17 ? QStringLiteral("Click to change state") : QString());
    }

    void tabVisitsControlsInOrder() {
        TForm1 &form = *panel->form;
        form.show();
        QApplication::setActiveWindow(&form);
        QVERIFY(QTest::qWaitForWindowActive(&form));
        form.Edit1->setFocus();
        QCOMPARE(QApplication::focusWidget(), form.Edit1);
        const QList<QWidget *> expected = {form.Button1,   form.Button2,   form.Button3,
                                           form.ComboBox1, form.ComboBox2, form.Button4};
        for (QWidget *next : expected) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), next);
        }
    }

    void lampClicks_data() {
        QTest::addColumn<int>("lamp");
        QTest::addColumn<Qt::MouseButton>("button");
        QTest::addColumn<int>("clicks");
        QTest::addColumn<TColor>("expected");
        QTest::newRow("left click turns red output green") << 17 << Qt::LeftButton << 1 << clLime;
        QTest::newRow("second left click turns it red") << 32 << Qt::LeftButton << 2 << clRed;
        QTest::newRow("right click changes nothing") << 20 << Qt::RightButton << 1 << clRed;
        QTest::newRow("middle click changes nothing") << 25 << Qt::MiddleButton << 1 << clRed;
        QTest::newRow("input lamp ignores clicks") << 1 << Qt::LeftButton << 1 << clRed;
        QTest::newRow("input lamp 16 ignores clicks") << 16 << Qt::LeftButton << 1 << clRed;
    }
    void lampClicks() {
        QFETCH(int, lamp);
        QFETCH(Qt::MouseButton, button);
        QFETCH(int, clicks);
        QFETCH(TColor, expected);
        panel->form->show();
        QVERIFY(QTest::qWaitForWindowExposed(panel->form.get()));
        for (int i = 0; i < clicks; ++i)
            QTest::mouseClick(panel->form->lamp(lamp), button);
        QCOMPARE(panel->form->lamp(lamp)->brushColor(), expected);
        for (int k = 1; k <= LampCount; ++k)
            if (k != lamp)
                QCOMPARE(panel->form->lamp(k)->brushColor(), clRed);
        QVERIFY(fake::calls().empty()); // toggling never touches the device
    }

    void toggleTurnsAnyNonRedColourRed() {
        panel->form->Shape18->setBrushColor(0x123456);
        panel->form->Shape17MouseUp(panel->form->Shape18, Qt::LeftButton, Qt::ShiftModifier, 3, 4);
        QCOMPARE(panel->form->Shape18->brushColor(), clRed);
    }

    void mouseUpFromAnythingButALampChangesNothing() {
        panel->form->Shape17MouseUp(panel->form->Button1, Qt::LeftButton, Qt::NoModifier, 0, 0);
        panel->form->Shape17MouseUp(nullptr, Qt::LeftButton, Qt::NoModifier, 0, 0);
        for (int k = 1; k <= LampCount; ++k)
            QCOMPARE(panel->form->lamp(k)->brushColor(), clRed);
    }

    // What a lamp shows, from the colour table and the lamp's geometry alone: a disc in the lamp's colour
    // with a one-pixel black rim whose outer edge is a circle of diameter size - 1, centred, on the
    // background. The rim's middle line is thus one pixel inside each edge, and the device pixel just
    // inside that line is rim for half a pixel: all of it at 2x, half of it (the rest face) at 1x.
    void lampShowsItsTableColourInsideABlackRim_data() {
        QTest::addColumn<TColor>("color");
        QTest::addColumn<QColor>("face");
        QTest::addColumn<int>("ratio");
        for (const int ratio : {1, 2}) {
            QTest::addRow("lit at %dx", ratio) << clRed << QColor(255, 0, 0) << ratio;
            QTest::addRow("unlit at %dx", ratio) << clLime << QColor(0, 255, 0) << ratio;
        }
    }
    void lampShowsItsTableColourInsideABlackRim() {
        QFETCH(TColor, color);
        QFETCH(QColor, face);
        QFETCH(int, ratio);
        TShape &lamp = *panel->form->lamp(9);
        lamp.setBrushColor(color);
        QImage shown = blankImage(lamp.size(), ratio);
        lamp.render(&shown);
        const int last = lamp.width() * ratio - 1; // the last device pixel of a row or column
        const int middle = lamp.width() * ratio / 2;
        const QRgb background = lamp.palette().color(lamp.backgroundRole()).rgb();
        QCOMPARE(shown.pixel(middle, middle), face.rgb());
        for (const QPoint corner : {QPoint(0, 0), QPoint(last, 0), QPoint(0, last), QPoint(last, last)})
            QCOMPARE(shown.pixel(corner), background);
        const double faceShare = ratio == 1 ? 0.5 : 0.0;
        const QColor rim(qRound(face.red() * faceShare), qRound(face.green() * faceShare),
                         qRound(face.blue() * faceShare));
        for (const QPoint inside : {QPoint(middle, ratio), QPoint(ratio, middle),
                                    QPoint(middle, last - ratio), QPoint(last - ratio, middle)}) {
            const QColor seen = shown.pixelColor(inside);
            QVERIFY2(std::abs(seen.red() - rim.red()) <= RimTolerance &&
                         std::abs(seen.green() - rim.green()) <= RimTolerance &&
                         std::abs(seen.blue() - rim.blue()) <= RimTolerance,
                     qPrintable(QStringLiteral("rim at (%1,%2) is %3, not about %4")
                                    .arg(inside.x())
                                    .arg(inside.y())
                                    .arg(seen.name(), rim.name())));
        }
    }

    // A lamp shows a copy of its face made once per colour, size, pixel ratio and background: the copy
    // must be the very pixels of drawing the face afresh on the lamp's background, also after the
    // background changed.
    void lampCopyMatchesDrawingAfresh_data() {
        QTest::addColumn<TColor>("color");
        QTest::addColumn<int>("ratio");
        const std::pair<const char *, TColor> colors[] = {
            {"red", clRed},      {"green", clLime},   {"almost green", 0x00FE00}, {"blue", 0xFF0000},
            {"black", 0x000000}, {"white", 0xFFFFFF}, {"any", 0x123456},          {"almost red", 0x0000FE}};
        for (const int ratio : {1, 2})
            for (const auto &[name, color] : colors)
                QTest::addRow("%s at %dx", name, ratio) << color << ratio;
    }
    void lampCopyMatchesDrawingAfresh() {
        QFETCH(TColor, color);
        QFETCH(int, ratio);
        TShape &lamp = *panel->form->lamp(9);
        lamp.setBrushColor(color);
        for (const QColor background :
             {lamp.palette().color(lamp.backgroundRole()), QColor(0x40, 0x20, 0x10)}) {
            QPalette palette = lamp.palette();
            palette.setColor(lamp.backgroundRole(), background);
            lamp.setPalette(palette);
            QImage drawn = blankImage(lamp.size(), ratio);
            drawn.fill(background);
            QPainter painter(&drawn);
            TShape::drawFace(painter, lamp.size(), color);
            painter.end();
            for (int time = 0; time < 2; ++time) { // the first paint may make the copy, the second uses it
                QImage shown = blankImage(lamp.size(), ratio);
                lamp.render(&shown);
                QCOMPARE(shown, drawn);
            }
        }
    }

private:
    // How far an antialiased rim pixel may stray from its share of black and face (about a tenth of a
    // pixel's coverage): the rasteriser's coverage of a thin stroke is not exact, 1x strays by about 15.
    static constexpr int RimTolerance = 24;

    static QImage blankImage(QSize size, int ratio) {
        QImage image(size * ratio, QImage::Format_RGB32);
        image.setDevicePixelRatio(ratio);
        image.fill(Qt::magenta); // a pixel the lamp leaves unpainted shows
        return image;
    }

    QWidget *control_(const QString &name) const {
        TForm1 &f = *panel->form;
        const QHash<QString, QWidget *> controls = {
            {"Edit1", f.Edit1},          {"Button1", f.Button1},     {"Label1", f.Label1},
            {"Label2", f.Label2},        {"Label3", f.Label3},       {"Label4", f.Label4},
            {"Label5", f.Label5},        {"Button2", f.Button2},     {"Button3", f.Button3},
            {"ComboBox1", f.ComboBox1},  {"ComboBox2", f.ComboBox2}, {"Label9", f.Label9},
            {"Label10", f.Label10},      {"Button4", f.Button4},     {"Label11", f.Label11},
            {"StatusBar1", f.StatusBar1}};
        return controls.value(name);
    }

    std::unique_ptr<Panel> panel;
};

QTEST_MAIN(WindowTest)
#include "tst_window.moc"
