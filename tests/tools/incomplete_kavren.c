/* A device library that lacks three of the six operations, as a wrong or outdated vendor file would. */
#include "kavren.h"

int32_t ListDevices(int32_t *count, char *serialNumbers, char *descriptions) {
    (void)serialNumbers;
    (void)descriptions;
    *count = 0;
    return 0;
}

int32_t OpenDevice(const char *serialNumber, DeviceHandle *handle) {
    (void)serialNumber;
    (void)handle;
    return 1;
}

int32_t CloseDevice(DeviceHandle handle) {
    return handle == 0 ? 0 : 1;
}
