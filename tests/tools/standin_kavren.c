/* A stand-in for a vendor's device library, with a version of its own ("9.9-stand"). Tests make it
 * misbehave through the environment, as no well-behaved library does: unterminated texts, absurd
 * counts, failures without a message, texts that try to forge lines or drive a terminal. One device
 * unless told otherwise; every call is appended to STANDIN_LOG when set. Every text setting takes
 * "FILL" (the whole buffer, no NUL) and "HOSTILE" (a fixed text with a tab, a newline, an escape, a
 * C1 control and a backslash).
 *   STANDIN_COUNT, STANDIN_SERIALS, STANDIN_DESCRIPTIONS  what ListDevices reports
 *   STANDIN_VERSION   the version text
 *   STANDIN_FAIL      the operation that fails (ListDevices, OpenDevice, ...)
 *   STANDIN_FAIL_WHEN a file: the operation fails only once the file exists
 *   STANDIN_MESSAGE   the message a failing call leaves
 *   STANDIN_INPUT     the value every port reads (decimal), 90 (0x5A) when unset */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "kavren.h"

static const char *setting(const char *name, const char *fallback) {
    const char *value = getenv(name);
    return value != NULL ? value : fallback;
}

static void logCall(const char *text, unsigned handle) {
    const char *path = getenv("STANDIN_LOG");
    FILE *log = path != NULL ? fopen(path, "a") : NULL;
    if (log != NULL) {
        fprintf(log, "%s %u\n", text, handle);
        fclose(log);
    }
}

/* Copies the text into the buffer; "FILL" fills all of it and leaves no NUL, "HOSTILE" gives `hostile`. */
static void fillText(char *buffer, size_t size, const char *text, const char *hostile) {
    if (strcmp(text, "FILL") == 0) {
        memset(buffer, 'x', size);
        return;
    }
    snprintf(buffer, size, "%s", strcmp(text, "HOSTILE") == 0 ? hostile : text);
}

static int32_t outcome(const char *operation, char *message) {
    if (strcmp(setting("STANDIN_FAIL", ""), operation) != 0)
        return 0;
    if (getenv("STANDIN_FAIL_WHEN") != NULL && access(getenv("STANDIN_FAIL_WHEN"), F_OK) != 0)
        return 0;
    if (message != NULL)
        fillText(message, KAVREN_MESSAGE_SIZE, setting("STANDIN_MESSAGE", ""),
                 "bad\tline\nfake: \x1b[31mred\\");
    return 7;
}

int32_t ListDevices(int32_t *count, char *serialNumbers, char *descriptions) {
    logCall("list", 0);
    *count = atoi(setting("STANDIN_COUNT", "1"));
    fillText(serialNumbers, KAVREN_SERIAL_LIST_SIZE, setting("STANDIN_SERIALS", "STANDIN-1"), "A\tB,C\nD");
    fillText(descriptions, KAVREN_DESCRIPTION_LIST_SIZE, setting("STANDIN_DESCRIPTIONS", "Stand-in device"),
             "E\x1b[2J\x9b,F\\G");
    return outcome("ListDevices", NULL);
}

int32_t OpenDevice(const char *serialNumber, DeviceHandle *handle) {
    logCall("open", 0);
    (void)serialNumber;
    *handle = 42;
    return outcome("OpenDevice", NULL);
}

int32_t CloseDevice(DeviceHandle handle) {
    logCall("close", handle);
    return outcome("CloseDevice", NULL);
}

int32_t GetSWVersion(DeviceHandle handle, char *version, char *message) {
    logCall("version", handle);
    fillText(version, KAVREN_VERSION_SIZE, setting("STANDIN_VERSION", "9.9-stand"), "v\t\n\x1b\\\x85");
    return outcome("GetSWVersion", message);
}

int32_t ReadPort(DeviceHandle handle, uint8_t port, uint8_t *value, char *message) {
    logCall("read", handle);
    (void)port;
    *value = (uint8_t)atoi(setting("STANDIN_INPUT", "90"));
    return outcome("ReadPort", message);
}

int32_t WritePort(DeviceHandle handle, uint8_t port, uint8_t value, char *message) {
    logCall("write", handle);
    (void)port;
    (void)value;
    return outcome("WritePort", message);
}
