/* The device library's C interface. The library is a closed binary bound at load time; the simulated
 * device in sim/ is the default implementation and a vendor's libkavren.so.1 can replace it. */
#ifndef KAVREN_H
#define KAVREN_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t DeviceHandle;

/* Sizes of the caller-owned buffers; no size crosses the interface. */
enum {
    KAVREN_SERIAL_LIST_SIZE = 512,
    KAVREN_DESCRIPTION_LIST_SIZE = 1024,
    KAVREN_SERIAL_NUMBER_SIZE = 20,
    KAVREN_VERSION_SIZE = 10,
    KAVREN_MESSAGE_SIZE = 256
};

int32_t ListDevices(int32_t *count, char *serialNumbers, char *descriptions);
int32_t OpenDevice(const char *serialNumber, DeviceHandle *handle);
int32_t CloseDevice(DeviceHandle handle);
int32_t GetSWVersion(DeviceHandle handle, char *version, char *message);
int32_t ReadPort(DeviceHandle handle, uint8_t port, uint8_t *value, char *message);
int32_t WritePort(DeviceHandle handle, uint8_t port, uint8_t value, char *message);

#ifdef __cplusplus
}
#endif

#endif
