// Arbitrary device lists and counts through the list splitting and through "Get Devices".
#include <QComboBox>
#include <QLineEdit>
#include <QStatusBar>

#include "DeviceList.h"
#include "FuzzSupport.h"

namespace {

// The splitting alone: every field is a comma-free piece of the list, and the start never leaves it.
void checkSplitting(std::string_view list, std::int32_t count) {
    std::size_t start = 0;
    for (int pass = 0; pass < std::min(count, MaxListedDevices); ++pass) {
        const std::string_view field = SplitDeviceList(list, start);
        FUZZ_CHECK(field.find(',') == std::string_view::npos, "field holds a comma");
        FUZZ_CHECK(field.empty() || (field.data() >= list.data() &&
                                     field.data() + field.size() <= list.data() + list.size()),
                   "field outside the list");
        FUZZ_CHECK(start <= list.size(), "field start %zu beyond %zu", start, list.size());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *bytes, std::size_t size) {
    FuzzedDataProvider data(bytes, size);
    fake::Reply reply;
    reply.status = fuzzedStatus(data);
    reply.count = data.ConsumeBool() ? data.ConsumeIntegralInRange<std::int32_t>(-2, 40)
                                     : data.ConsumeIntegral<std::int32_t>();
    reply.text = data.ConsumeRandomLengthString(KAVREN_SERIAL_LIST_SIZE);
    reply.descriptions = data.ConsumeRandomLengthString(KAVREN_DESCRIPTION_LIST_SIZE);

    device::SerialListBuffer serials{};
    std::copy_n(reply.text->begin(), std::min(reply.text->size(), serials.size()), serials.begin());
    checkSplitting(device::boundedText(serials), *reply.count);

    fake::reset();
    fake::queue(fake::Op::ListDevices, reply);
    TForm1 form;
    form.Timer1->stop();
    form.Button1Click();

    const int items = reply.status != 0 ? 0 : std::clamp(*reply.count, 0, MaxListedDevices);
    FUZZ_CHECK(form.ComboBox1->count() == items, "%d serial numbers listed, expected %d",
               form.ComboBox1->count(), items);
    FUZZ_CHECK(form.ComboBox2->count() == items, "%d descriptions listed, expected %d",
               form.ComboBox2->count(), items);
    for (int i = 0; i < items; ++i)
        FUZZ_CHECK(!form.ComboBox1->itemText(i).contains(',') && !form.ComboBox2->itemText(i).contains(','),
                   "item %d holds a comma", i);
    FUZZ_CHECK(form.Edit1->text() == (reply.status != 0 ? QString() : QString::number(*reply.count)),
               "count box");
    checkTruthfulAndClosed(form);
    return 0;
}
