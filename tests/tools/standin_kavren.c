/* A stand-in for a vendor's device library: all six operations, one device, a version of its own. */
#include <string.h>

#include "kavren.h"

static const char Serial[] = "STAND-IN-1";

int32_t ListDevices(int32_t *count, char *serialNumbers, char *descriptions) {
    *count = 1;
    strcpy(serialNumbers, Serial);
    strcpy(descriptions, "Stand-in vendor device");
    return 0;
}

int32_t OpenDevice(const char *serialNumber, DeviceHandle *handle) {
    if (strcmp(serialNumber, Serial) != 0)
        return 1;
    *handle = 7;
    return 0;
}

int32_t CloseDevice(DeviceHandle handle) {
    return handle == 7 ? 0 : 1;
}

int32_t GetSWVersion(DeviceHandle handle, char *version, char *message) {
    (void)message;
    strcpy(version, "9.9-vendor");
    return handle == 7 ? 0 : 1;
}

int32_t ReadPort(DeviceHandle handle, uint8_t port, uint8_t *value, char *message) {
    (void)message;
    *value = port;
    return handle == 7 ? 0 : 1;
}

int32_t WritePort(DeviceHandle handle, uint8_t port, uint8_t value, char *message) {
    (void)port;
    (void)value;
    (void)message;
    return handle == 7 ? 0 : 1;
}
