#include <quenor/deviceenumerator.h>

namespace {

NativeDeviceEnumerator* cloneOf(NativeDeviceEnumerator* impl) {
    return impl ? impl->clone() : nullptr;
}

}  // namespace

DeviceEnumerator::DeviceEnumerator(QuenorDeviceClass deviceClass)
    : m_impl(nativeDeviceEnumeratorCreateHelper(deviceClass)) {}

DeviceEnumerator::DeviceEnumerator(NativeDeviceEnumerator* impl) : m_impl(impl) {}

DeviceEnumerator::DeviceEnumerator(const DeviceEnumerator& other) : m_impl(cloneOf(other.m_impl)) {}

DeviceEnumerator::DeviceEnumerator(DeviceEnumerator&& other) : m_impl(cloneOf(other.m_impl)) {}

DeviceEnumerator& DeviceEnumerator::operator=(const DeviceEnumerator& other) {
    if (other.m_impl == nullptr) {
        return *this;
    }
    // Clone first: if cloning throws, this cursor is left as it was.
    NativeDeviceEnumerator* replacement = other.m_impl->clone();
    delete m_impl;
    m_impl = replacement;
    return *this;
}

DeviceEnumerator& DeviceEnumerator::operator=(DeviceEnumerator&& other) {
    if (this != &other) {
        delete m_impl;
        m_impl = other.m_impl;
        other.m_impl = nullptr;
    }
    return *this;
}

DeviceEnumerator::~DeviceEnumerator() {
    delete m_impl;
}

DeviceEnumerator& DeviceEnumerator::operator++() {
    moveToNext();
    return *this;
}

DeviceEnumerator DeviceEnumerator::operator++(int) {
    DeviceEnumerator previous(cloneOf(m_impl));
    moveToNext();
    return previous;
}

DeviceEnumerator& DeviceEnumerator::operator--() {
    moveToPrevious();
    return *this;
}

DeviceEnumerator DeviceEnumerator::operator--(int) {
    DeviceEnumerator previous(cloneOf(m_impl));
    moveToPrevious();
    return previous;
}

bool DeviceEnumerator::moveToNext() {
    return m_impl ? m_impl->moveToNext() : false;
}

bool DeviceEnumerator::moveToPrevious() {
    return m_impl ? m_impl->moveToPrevious() : false;
}

HidDeviceDescriptor DeviceEnumerator::get() {
    return m_impl ? m_impl->get() : HidDeviceDescriptor();
}

int DeviceEnumerator::count() {
    return m_impl ? m_impl->count() : 0;
}

bool DeviceEnumerator::atEnd() {
    return m_impl ? m_impl->atEnd() : true;
}

bool DeviceEnumerator::atBegin() {
    return m_impl ? m_impl->atBegin() : true;
}

bool DeviceEnumerator::moveTo(int index) {
    return m_impl ? m_impl->moveTo(index) : false;
}
