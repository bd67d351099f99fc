// What assistive technology learns about the lamps: each one's name and whether it is on, as the lamp
// changes. (Qt delivers change notifications only to a platform accessibility bridge, which the offscreen
// platform lacks; what a screen reader asks for after one is checked here.)

#include <QAccessible>
#include <QtTest>

#include "PanelFixture.h"

class TestAccessibility : public QObject {
    Q_OBJECT

private slots:
    void lampNameAndState_data() {
        QTest::addColumn<int>("lamp");
        QTest::addColumn<TColor>("color");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("state");
        QTest::addColumn<bool>("readOnly");

        QTest::newRow("input, first lamp, green") << 1 << clLime << "Port 0 bit 0"
                                                  << "off" << true;
        QTest::newRow("input, bit 7, red") << 8 << clRed << "Port 0 bit 7"
                                           << "on" << true;
        QTest::newRow("second input port") << 11 << clLime << "Port 1 bit 2"
                                           << "off" << true;
        QTest::newRow("output, green") << 20 << clLime << "Port 10 bit 3"
                                       << "off" << false;
        QTest::newRow("output, a colour that is not pure green is on")
            << 25 << TColor{0x00FF01} << "Port 11 bit 0"
            << "on" << false;
        QTest::newRow("output, last lamp, another colour") << 32 << TColor{0x123456} << "Port 11 bit 7"
                                                           << "on" << false;
    }

    void lampNameAndState() {
        QFETCH(int, lamp);
        QFETCH(TColor, color);
        QFETCH(QString, name);
        QFETCH(QString, state);
        QFETCH(bool, readOnly);
        Panel panel;
        TShape *shape = panel->lamp(lamp);
        QAccessibleInterface *lampInterface = QAccessible::queryAccessibleInterface(shape);
        QVERIFY(lampInterface != nullptr);
        shape->setBrushColor(clLime);
        shape->setBrushColor(clRed); // every lamp starts red; a change back and forth is followed
        QCOMPARE(lampInterface->text(QAccessible::Description), QStringLiteral("on"));

        shape->setBrushColor(color);

        QCOMPARE(lampInterface->text(QAccessible::Name), name);
        QCOMPARE(lampInterface->text(QAccessible::Description), state);
        QCOMPARE(lampInterface->state().checked, state == QStringLiteral("on"));
        QCOMPARE(lampInterface->state().readOnly, readOnly);
        QVERIFY(!lampInterface->state().focusable);
        QCOMPARE(shape->focusPolicy(), Qt::NoFocus);
    }

    // An operator's click on an output lamp turns it off for a screen reader too.
    void clickedLampReadsOff() {
        Panel panel;
        TShape *shape = panel->lamp(17);
        QTest::mouseClick(shape, Qt::LeftButton);
        QAccessibleInterface *lampInterface = QAccessible::queryAccessibleInterface(shape);
        QCOMPARE(lampInterface->text(QAccessible::Description), QStringLiteral("off"));
        QVERIFY(!lampInterface->state().checked);
    }
};

QTEST_MAIN(TestAccessibility)
#include "tst_accessibility.moc"
