// What both fuzz targets share: an offscreen application, replies drawn from the fuzzer's bytes, and
// checks that stop the run with a report.
#pragma once

#include <cstdio>
#include <cstdlib>

#include <QApplication>
#include <QStatusBar>
#include <QTimer>
#include <fuzzer/FuzzedDataProvider.h>

#include "FakeKavren.h"
#include "StatusOracle.h"
#include "Unit1.h"

#define FUZZ_CHECK(condition, ...)                                                                           \
    do {                                                                                                     \
        if (!(condition)) {                                                                                  \
            std::fprintf(stderr, "check failed: %s: ", #condition);                                          \
            std::fprintf(stderr, __VA_ARGS__);                                                               \
            std::fprintf(stderr, "\n");                                                                      \
            std::abort();                                                                                    \
        }                                                                                                    \
    } while (false)

// Each target is one translation unit, so the application starts here for both.
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "fuzz";
    static char *argv[] = {name, nullptr};
    static QApplication application(argc, argv);
    return 0;
}

// A status the fuzzer picks, mostly success so that transactions get past their first call.
inline std::int32_t fuzzedStatus(FuzzedDataProvider &data) {
    return data.ConsumeIntegralInRange<int>(0, 3) == 0 ? data.ConsumeIntegral<std::int32_t>() : 0;
}

// Bytes for a buffer of `size`: short or full, with or without a NUL, as the fuzzer decides.
inline std::optional<std::string> fuzzedBytes(FuzzedDataProvider &data, std::size_t size) {
    if (!data.ConsumeBool())
        return std::nullopt;
    return data.ConsumeRandomLengthString(size);
}

// The status line must be what the log of the last transaction says, and every open closed.
inline void checkTruthfulAndClosed(const TForm1 &form) {
    const std::string violation = fake::openCloseViolation();
    FUZZ_CHECK(violation.empty(), "%s", violation.c_str());
    if (const std::optional<QString> expected = fake::expectedStatusOfLastTransaction()) {
        const QString shown = form.StatusBar1->currentMessage();
        FUZZ_CHECK(shown == *expected, "status \"%s\", expected \"%s\"", qPrintable(shown),
                   qPrintable(*expected));
    }
}
