// Every library call answered from the fuzzer's bytes (status, handle, values, counts and buffer
// contents) while the fuzzer works the window's handlers in any order.
#include <QComboBox>
#include <QStatusBar>

#include "FuzzSupport.h"
#include "TShape.h"

namespace {

fake::Reply fuzzedReply(FuzzedDataProvider &data, fake::Op op) {
    fake::Reply reply;
    reply.status = fuzzedStatus(data);
    if (data.ConsumeBool())
        reply.handle = data.ConsumeIntegral<DeviceHandle>();
    if (data.ConsumeBool())
        reply.value = data.ConsumeIntegral<std::uint8_t>();
    if (op == fake::Op::ListDevices) {
        reply.count = data.ConsumeIntegralInRange<std::int32_t>(-1, 8);
        reply.text = fuzzedBytes(data, KAVREN_SERIAL_LIST_SIZE);
        reply.descriptions = fuzzedBytes(data, KAVREN_DESCRIPTION_LIST_SIZE);
    } else if (op == fake::Op::GetSWVersion) {
        reply.text = fuzzedBytes(data, KAVREN_VERSION_SIZE);
    }
    reply.message = fuzzedBytes(data, KAVREN_MESSAGE_SIZE);
    return reply;
}

void act(TForm1 &form, FuzzedDataProvider &data) {
    switch (data.ConsumeIntegralInRange(0, 7)) {
    case 0:
        return form.Button1Click();
    case 1:
        return form.Button2Click();
    case 2:
        return form.Button3Click();
    case 3:
        return form.Button4Click();
    case 4:
        return form.Timer1Timer();
    case 5:
        form.ComboBox1->setCurrentIndex(data.ConsumeIntegralInRange(-1, form.ComboBox1->count()));
        return form.ComboBox1Change();
    case 6:
        form.ComboBox2->setCurrentIndex(data.ConsumeIntegralInRange(-1, form.ComboBox2->count()));
        return form.ComboBox2Change();
    default:
        form.Shape17MouseUp(form.lamp(data.ConsumeIntegralInRange(17, LampCount)), Qt::LeftButton, {}, 0, 0);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *bytes, std::size_t size) {
    FuzzedDataProvider data(bytes, size);
    fake::reset();
    fake::setReplySource([&data](fake::Op op) { return std::optional(fuzzedReply(data, op)); });
    TForm1 form;
    form.Timer1->stop();
    for (int action = 0; action < 12 && data.remaining_bytes() > 0; ++action) {
        fake::clearCalls();
        act(form, data);
        checkTruthfulAndClosed(form);
        for (int k = 1; k <= LampCount; ++k) {
            const TColor colour = form.lamp(k)->brushColor();
            FUZZ_CHECK(colour == clRed || colour == clLime, "lamp %d shows 0x%06X", k, colour);
        }
    }
    return 0;
}
