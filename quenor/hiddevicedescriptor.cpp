#include <quenor/hiddevicedescriptor.h>

HidDeviceDescriptor::HidDeviceDescriptor() = default;

HidDeviceDescriptor::HidDeviceDescriptor(std::shared_ptr<HidDescriptorHandleBase>& handle)
    : m_handle(handle) {}

HidDeviceDescriptor::HidDeviceDescriptor(HidDescriptorHandleBase* handle) : m_handle(handle) {}

HidDeviceDescriptor::~HidDeviceDescriptor() = default;

HidDeviceDescriptor::operator bool() const {
    return static_cast<bool>(m_handle);
}

std::shared_ptr<HidDescriptorHandleBase> HidDeviceDescriptor::handle() const {
    return m_handle;
}

std::wstring HidDeviceDescriptor::toString() const {
    return m_handle ? m_handle->toString() : std::wstring();
}

bool HidDeviceDescriptor::operator==(const HidDeviceDescriptor& other) const {
    if (!m_handle || !other.m_handle) {
        return !m_handle && !other.m_handle;
    }
    return m_handle->equals(other.m_handle.get());
}
