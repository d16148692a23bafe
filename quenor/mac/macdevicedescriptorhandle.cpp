#include <quenor/mac/macdevicedescriptorhandle.h>

MacDeviceDescriptorHandle::MacDeviceDescriptorHandle(const std::wstring& devicePath,
                                                     int usagePairIndex)
    : m_devicePath(devicePath), m_usagePairIndex(usagePairIndex) {}

MacDeviceDescriptorHandle::MacDeviceDescriptorHandle(const std::wstring& devicePath,
                                                     int usagePairIndex, uint64_t registryEntryId)
    : m_devicePath(devicePath),
      m_usagePairIndex(usagePairIndex),
      m_registryEntryId(registryEntryId) {}

MacDeviceDescriptorHandle::~MacDeviceDescriptorHandle() = default;

std::wstring MacDeviceDescriptorHandle::toString() const {
    return m_devicePath + L"/" + std::to_wstring(m_usagePairIndex);
}

bool MacDeviceDescriptorHandle::equals(const HidDescriptorHandleBase* other) const {
    const auto* mac = dynamic_cast<const MacDeviceDescriptorHandle*>(other);
    if (mac == nullptr) {
        return false;
    }
    if (m_usagePairIndex != mac->m_usagePairIndex) {
        return false;
    }
    if (m_registryEntryId != 0 && mac->m_registryEntryId != 0) {
        return m_registryEntryId == mac->m_registryEntryId;
    }
    return m_devicePath == mac->m_devicePath;
}

std::string MacDeviceDescriptorHandle::devicePath() {
    std::string narrow(m_devicePath.size(), '\0');
    for (std::size_t i = 0; i < m_devicePath.size(); ++i) {
        narrow[i] = static_cast<char>(static_cast<unsigned char>(m_devicePath[i] & 0xFF));
    }
    return narrow;
}

void MacDeviceDescriptorHandle::setDevicePath(const std::wstring& path) {
    m_devicePath = path;
    m_registryEntryId = 0;
}

void MacDeviceDescriptorHandle::setUsagePairIndex(int index) {
    m_usagePairIndex = index;
}

int MacDeviceDescriptorHandle::getUsagePairIndex() const {
    return m_usagePairIndex;
}

uint64_t MacDeviceDescriptorHandle::registryEntryId() const {
    return m_registryEntryId;
}
