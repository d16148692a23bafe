// The name of one device: a small value type around a shared platform handle.
//
// Copies and assignments share the handle object; it is never copied itself, so a change made
// through the handle (for instance a new path) is seen by every descriptor that shares it,
// including the ones stored in devices. A descriptor may be empty (no handle). No locking.
#pragma once

#include <quenor/export.h>
#include <quenor/hiddescriptorhandlebase.h>

#include <memory>
#include <string>

class QUENOR_EXPORT HidDeviceDescriptor {
public:
    // An empty descriptor.
    HidDeviceDescriptor();
    // Shares `handle`; the argument is not modified.
    explicit HidDeviceDescriptor(std::shared_ptr<HidDescriptorHandleBase>& handle);
    // Adopts a handle allocated with new; it is deleted with the last descriptor sharing it.
    explicit HidDeviceDescriptor(HidDescriptorHandleBase* handle);
    ~HidDeviceDescriptor();

    // True when a handle is present.
    explicit operator bool() const;
    std::shared_ptr<HidDescriptorHandleBase> handle() const;
    // The handle's printable form, or an empty string without a handle.
    std::wstring toString() const;
    // Two empty descriptors are equal, an empty and a non-empty one are not; otherwise the left
    // handle's equals() decides.
    bool operator==(const HidDeviceDescriptor& other) const;
    bool operator!=(const HidDeviceDescriptor& other) const { return !(*this == other); }

private:
    std::shared_ptr<HidDescriptorHandleBase> m_handle;
};
