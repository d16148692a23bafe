// macOS has no platform enumerator: applications name their devices by their I/O Registry paths
// (MacDeviceDescriptorHandle). A facade built from a device class is left without implementation.
#include <quenor/nativedeviceenumerator.h>

NativeDeviceEnumerator* nativeDeviceEnumeratorCreateHelper(QuenorDeviceClass) {
    return nullptr;
}
