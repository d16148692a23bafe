#include "quenor/mac/macnativedeviceenumerator.h"

#include "quenor/mac/registrydevice.h"

using quenor::mac::ScopedIOObject;

namespace {

std::vector<HidDeviceEntry> takeSnapshot(const HidDeviceMatch& match) {
    std::vector<HidDeviceEntry> entries;
    auto matching = quenor::mac::makeHidDeviceMatching();
    if (!matching) {
        return entries;
    }
    ScopedIOObject iterator;
    // The call consumes the dictionary's reference, whatever it returns.
    if (IOServiceGetMatchingServices(MACH_PORT_NULL, matching.release(),
                                     iterator.initializeInto()) != kIOReturnSuccess ||
        !iterator) {
        return entries;  // failed, or nothing matched
    }
    while (auto service = ScopedIOObject::adopt(IOIteratorNext(iterator.get()))) {
        for (HidDeviceEntry& entry : quenor::mac::readDeviceEntries(service.get(), match)) {
            entries.push_back(std::move(entry));
        }
    }
    quenor::mac::sortEntries(entries);
    return entries;
}

}  // namespace

NativeDeviceEnumerator* nativeDeviceEnumeratorCreateHelper(QuenorDeviceClass deviceClass) {
    switch (deviceClass) {
        case QuenorDeviceClass::Hid:
            return new MacNativeDeviceEnumerator();
    }
    return nullptr;
}

MacNativeDeviceEnumerator::MacNativeDeviceEnumerator(const HidDeviceMatch& match)
    : m_entries(std::make_shared<const std::vector<HidDeviceEntry>>(takeSnapshot(match))) {}

MacNativeDeviceEnumerator::MacNativeDeviceEnumerator(Snapshot snapshot, int position)
    : m_entries(std::move(snapshot)), m_position(position) {}

MacNativeDeviceEnumerator::~MacNativeDeviceEnumerator() = default;

NativeDeviceEnumerator* MacNativeDeviceEnumerator::clone() {
    return new MacNativeDeviceEnumerator(m_entries, m_position);
}

HidDeviceDescriptor MacNativeDeviceEnumerator::get() {
    return atEnd() ? HidDeviceDescriptor() : (*m_entries)[m_position].descriptor();
}

bool MacNativeDeviceEnumerator::atEnd() {
    return m_position >= count();
}

bool MacNativeDeviceEnumerator::atBegin() {
    return m_position == 0;
}

int MacNativeDeviceEnumerator::count() {
    return static_cast<int>(m_entries->size());
}

bool MacNativeDeviceEnumerator::moveToNext() {
    return moveTo(m_position + 1);
}

bool MacNativeDeviceEnumerator::moveToPrevious() {
    return moveTo(m_position - 1);
}

bool MacNativeDeviceEnumerator::moveTo(int index) {
    if (index < 0 || index > count()) {
        return false;
    }
    m_position = index;
    return true;
}

HidDeviceEntry MacNativeDeviceEnumerator::entry() const {
    const auto size = static_cast<int>(m_entries->size());
    return m_position < size ? (*m_entries)[m_position] : HidDeviceEntry();
}

const std::vector<HidDeviceEntry>& MacNativeDeviceEnumerator::entries() const {
    return *m_entries;
}
