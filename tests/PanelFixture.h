// A fresh window on a reset fake library, with helpers to read what the window shows.
#pragma once

#include <memory>

#include <QComboBox>
#include <QStatusBar>
#include <QTimer>

#include "FakeKavren.h"
#include "TShape.h"
#include "Unit1.h"

struct Panel {
    std::unique_ptr<TForm1> form;

    // The timer is stopped so that only the ticks a test calls reach the device.
    Panel() {
        fake::reset();
        form = std::make_unique<TForm1>();
        Form1 = form.get();
        form->Timer1->stop();
    }
    ~Panel() { Form1 = nullptr; }

    TForm1 *operator->() const { return form.get(); }

    QString status() const { return form->StatusBar1->currentMessage(); }

    // The value a port's lamps show, or -1 when a lamp is neither red nor green.
    int lampValue(std::uint8_t port) const {
        int value = 0;
        const int first = lamps::firstLampOf(port);
        for (int bit = 0; bit < 8; ++bit) {
            const TColor color = form->lamp(first + bit)->brushColor();
            if (color != clRed && color != clLime)
                return -1;
            value |= (color == clRed ? 1 : 0) << bit;
        }
        return value;
    }

    void paintLamps(std::uint8_t port, std::uint8_t value) const {
        const int first = lamps::firstLampOf(port);
        for (int bit = 0; bit < 8; ++bit)
            form->lamp(first + bit)->setBrushColor((value >> bit) & 1 ? clRed : clLime);
    }

    // Lists serial numbers as discovery would, without calling the library.
    void listDevices(const QStringList &serials, int selected = 0) const {
        for (const QString &serial : serials) {
            form->ComboBox1->addItem(serial);
            form->ComboBox2->addItem(serial + QStringLiteral(" description"));
        }
        form->ComboBox1->setCurrentIndex(selected);
        form->ComboBox2->setCurrentIndex(selected);
    }

    QStringList items(QComboBox *box) const {
        QStringList texts;
        for (int i = 0; i < box->count(); ++i)
            texts << box->itemText(i);
        return texts;
    }
};

// Ends a test: every open the window made was followed by its close.
#define VERIFY_EVERY_OPEN_CLOSED()                                                                           \
    QVERIFY2(fake::openCloseViolation().empty(), fake::openCloseViolation().c_str())

// A reply with a status and, if given, the bytes it leaves in the message buffer.
inline fake::Reply statusReply(std::int32_t code, std::optional<std::string> message = std::nullopt) {
    fake::Reply reply;
    reply.status = code;
    reply.message = std::move(message);
    return reply;
}

// A device listing as the library would write it; the bytes are copied as given, NUL or not.
inline fake::Reply listingReply(std::int32_t count, const std::string &serials,
                                const std::string &descriptions) {
    fake::Reply reply;
    reply.count = count;
    reply.text = serials;
    reply.descriptions = descriptions;
    return reply;
}

// The log as one line per call, for comparing call order: "open A1", "read 0x00", "close 1", ...
inline QStringList callTrace() {
    QStringList trace;
    for (const fake::Call &call : fake::calls()) {
        switch (call.op) {
        case fake::Op::ListDevices:
            trace << QStringLiteral("list");
            break;
        case fake::Op::OpenDevice:
            trace << QStringLiteral("open ") + QString::fromLatin1(call.serialNumber.c_str());
            break;
        case fake::Op::CloseDevice:
            trace << QStringLiteral("close %1").arg(call.handle);
            break;
        case fake::Op::GetSWVersion:
            trace << QStringLiteral("version");
            break;
        case fake::Op::ReadPort:
            trace << QString::asprintf("read 0x%02X", call.port);
            break;
        case fake::Op::WritePort:
            trace << QString::asprintf("write 0x%02X=0x%02X", call.port, call.value);
            break;
        }
    }
    return trace;
}
