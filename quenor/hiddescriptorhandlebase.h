// The platform-specific part of a device's name.
//
// A HidDeviceDescriptor shares one handle among all its copies; the handle is destroyed through
// this virtual destructor when the last descriptor or shared_ptr to it goes. Each platform derives
// its own handle and answers toString() and equals(); the base answers an empty string and "not
// equal", even to itself. No locking: a handle shared between threads must not be changed while
// another thread reads it.
#pragma once

#include <quenor/export.h>

#include <string>

class QUENOR_EXPORT HidDescriptorHandleBase {
public:
    virtual ~HidDescriptorHandleBase();
    virtual std::wstring toString() const;
    // The left-hand handle's class decides; `other` may be null.
    virtual bool equals(const HidDescriptorHandleBase* other) const;
};
