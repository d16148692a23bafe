// PropertyList: the properties of a virtual device to be plugged with
// vmac::plugDeviceWithProperties. It owns the values it builds and releases them
// when it goes (vmac retains what it keeps).
#pragma once

#include <vmac/control.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace vmactest {

class PropertyList {
public:
    PropertyList() = default;
    PropertyList(const PropertyList&) = delete;
    PropertyList& operator=(const PropertyList&) = delete;
    ~PropertyList() {
        for (auto& value : values_)
            CFRelease(value.second);
    }

    PropertyList& number(const std::string& key, long long value) {
        return adopt(key, vmac::makeNumber(value));
    }
    PropertyList& text(const std::string& key, const std::string& utf8) {
        return adopt(key, vmac::makeString(utf8));
    }
    PropertyList& pairs(const std::vector<std::pair<long long, long long>>& pagesAndUsages) {
        return adopt("DeviceUsagePairs", vmac::makeUsagePairs(pagesAndUsages));
    }
    // Takes over a value the caller owns (Create rule).
    PropertyList& adopt(const std::string& key, CFTypeRef owned) {
        auto found = values_.find(key);
        if (found != values_.end())
            CFRelease(found->second);
        values_[key] = owned;
        return *this;
    }

    const std::map<std::string, CFTypeRef>& map() const { return values_; }

    vmac::VirtualDevice plug(const std::string& path,
                             vmac::ParentKind parent = vmac::ParentKind::UsbInterface) const {
        return vmac::plugDeviceWithProperties(path, values_, parent);
    }

private:
    std::map<std::string, CFTypeRef> values_;  // owned
};

}  // namespace vmactest
