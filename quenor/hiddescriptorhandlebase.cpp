#include <quenor/hiddescriptorhandlebase.h>

HidDescriptorHandleBase::~HidDescriptorHandleBase() = default;

std::wstring HidDescriptorHandleBase::toString() const {
    return std::wstring();
}

bool HidDescriptorHandleBase::equals(const HidDescriptorHandleBase*) const {
    return false;
}
