// Texts from the device library reach the screen exactly as their bytes decode: markup-like texts are
// judged from what is painted, not only from the widgets' text.
#include <QtTest>

#include <QLabel>

#include "PanelFixture.h"

using fake::Op;

namespace {

enum class Place { Version, Status, Serial, Description };

// Left and right edge of what `widget` paints beyond what it paints when showing nothing.
std::pair<int, int> inkExtent(QWidget *widget, const std::function<void()> &blank) {
    const QImage shown = widget->grab().toImage();
    blank();
    const QImage empty = widget->grab().toImage();
    int left = shown.width(), right = -1;
    for (int y = 0; y < shown.height(); ++y)
        for (int x = 0; x < shown.width(); ++x)
            if (shown.pixel(x, y) != empty.pixel(x, y)) {
                left = std::min(left, x);
                right = std::max(right, x);
            }
    return {left, right};
}

} // namespace

Q_DECLARE_METATYPE(Place)

class LibraryTextTest : public QObject {
    Q_OBJECT

private slots:
    void init() { panel = std::make_unique<Panel>(); }
    void cleanup() {
        VERIFY_EVERY_OPEN_CLOSED();
        panel.reset();
    }

    void shownVerbatim_data() {
        QTest::addColumn<Place>("place");
        QTest::addColumn<QString>("text");
        const QString markup[] = {"<b>9</b>", "&amp;", "1&lt;2", "<img src=x>", "<i>a</i>&nbsp;b"};
        for (const QString &text : markup) {
            if (text.size() < KAVREN_VERSION_SIZE)
                QTest::addRow("version %s", qPrintable(text)) << Place::Version << text;
            QTest::addRow("status %s", qPrintable(text)) << Place::Status << text;
            QTest::addRow("serial %s", qPrintable(text)) << Place::Serial << text;
            QTest::addRow("description %s", qPrintable(text)) << Place::Description << text;
        }
    }
    void shownVerbatim() {
        QFETCH(Place, place);
        QFETCH(QString, text);
        const std::string bytes = fake::cstr(text.toStdString());
        TForm1 &form = *panel->form;
        QWidget *widget = nullptr;
        QString shown;
        std::function<void()> blank;
        switch (place) {
        case Place::Version: {
            panel->listDevices({"A1"});
            fake::Reply reply;
            reply.text = bytes;
            fake::queue(Op::GetSWVersion, reply);
            form.Button4Click();
            widget = form.Label11;
            shown = form.Label11->text();
            QCOMPARE(shown, "SW Version : " + text);
            blank = [&form] { form.Label11->clear(); };
            break;
        }
        case Place::Status:
            panel->listDevices({"A1"});
            fake::queue(Op::ReadPort, statusReply(1, bytes));
            form.Timer1Timer();
            widget = form.StatusBar1;
            shown = panel->status();
            blank = [&form] { form.StatusBar1->clearMessage(); };
            break;
        case Place::Serial:
        case Place::Description: {
            const bool serial = place == Place::Serial;
            fake::queue(Op::ListDevices, listingReply(1, serial ? bytes : "A1\0", serial ? "One\0" : bytes));
            form.Button1Click();
            QComboBox *box = serial ? form.ComboBox1 : form.ComboBox2;
            widget = box;
            shown = box->currentText();
            blank = [box] { box->setCurrentIndex(-1); };
            break;
        }
        }
        if (place != Place::Version)
            QCOMPARE(shown, text);

        // Painted as plain text, the ink spans the verbatim text's width; markup would shrink or swap it.
        const auto [left, right] = inkExtent(widget, blank);
        const int inkWidth = right - left + 1;
        const int textWidth = widget->fontMetrics().horizontalAdvance(shown);
        QVERIFY2(
            inkWidth >= textWidth * 9 / 10 - 2 && inkWidth <= textWidth + 2,
            qPrintable(QStringLiteral("painted %1 px wide, the text is %2 px").arg(inkWidth).arg(textWidth)));
    }

private:
    std::unique_ptr<Panel> panel;
};

QTEST_MAIN(LibraryTextTest)
#include "tst_library_texts.moc"
