// ComObject: the plug-in and USB interface objects, reached by clients as
// `Struct**` (a pointer to `functionTable`, which therefore comes first).
//
// Reference counts are plain integers, as in IOUSBLib: two threads that AddRef
// or Release one object at once lose a count, and ThreadSanitizer reports it.
// When the count drops to zero the object keeps its shell (see Zombie) so that
// a further Release aborts naming the type.
#pragma once

#include "devicestate.h"
#include "object.h"

#include <atomic>
#include <memory>

namespace vmac::detail {

enum class ComKind { PlugIn, UsbInterface };

struct ComState;

// Standard layout, so `self` (a pointer to the first member) converts back.
struct ComObject {
    void* functionTable;
    ComState* state;
};

struct ComState : Zombie {
    ComState(ComKind k, std::shared_ptr<DeviceState> d);
    ComObject object;  // what clients point at; lives as long as the shell
    const ComKind kind;
    long refs = 1;                        // not atomic on purpose (see above)
    std::shared_ptr<DeviceState> device;  // dropped when refs reach zero
};

// A new object with one reference, as a `Struct**` for the client.
void* newComObject(ComKind kind, std::shared_ptr<DeviceState> device);

}  // namespace vmac::detail
