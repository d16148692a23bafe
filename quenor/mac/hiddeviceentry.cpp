#include "quenor/mac/hiddeviceentry.h"

#include "quenor/mac/macdevicedescriptorhandle.h"

HidDeviceDescriptor HidDeviceEntry::descriptor() const {
    return HidDeviceDescriptor(
        new MacDeviceDescriptorHandle(path, usagePairIndex, registryEntryId));
}
