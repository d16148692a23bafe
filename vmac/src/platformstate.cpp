#include "platformstate.h"

namespace vmac::detail {

Platform& platform() {
    // Never destroyed: threads that end during exit may still release objects.
    static Platform* instance = new Platform;
    return *instance;
}

const PortEntry* findPort(io_object_t port) {
    auto& ports = platform().ports;
    auto it = ports.find(port);
    return it == ports.end() ? nullptr : &it->second;
}

}  // namespace vmac::detail
