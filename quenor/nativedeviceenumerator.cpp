#include <quenor/nativedeviceenumerator.h>

NativeDeviceEnumerator::~NativeDeviceEnumerator() = default;
