#include "cfdictionary.h"

#include "callfaults.h"
#include "nocancel.h"

using vmac::detail::checked;
using vmac::detail::kDictionaryType;
using vmac::detail::NoCancel;

namespace {

const void* typeRetain(CFAllocatorRef, const void* value) {
    return CFRetain(value);
}
void typeRelease(CFAllocatorRef, const void* value) {
    CFRelease(value);
}
Boolean typeEqual(const void* a, const void* b) {
    return vmac::detail::cfEqual(a, b);
}
CFHashCode typeHash(const void* value) {
    return vmac::detail::cfHash(value);
}

}  // namespace

__CFDictionary::__CFDictionary(const CFDictionaryKeyCallBacks* keyCallBacks,
                               const CFDictionaryValueCallBacks* valueCallBacks)
    : Object(kDictionaryType, vmac::detail::Lifetime::Counted) {
    if (keyCallBacks != nullptr)
        keyCallBacks_ = *keyCallBacks;
    if (valueCallBacks != nullptr)
        valueCallBacks_ = *valueCallBacks;
}

bool __CFDictionary::keysEqual(const void* a, const void* b) const {
    if (a == b)
        return true;
    return keyCallBacks_.equal != nullptr && keyCallBacks_.equal(a, b);
}

void __CFDictionary::set(const void* key, const void* value) {
    // Retain before taking the lock: the callbacks are foreign code.
    if (keyCallBacks_.retain != nullptr)
        key = keyCallBacks_.retain(nullptr, key);
    if (valueCallBacks_.retain != nullptr)
        value = valueCallBacks_.retain(nullptr, value);
    std::pair<const void*, const void*> replaced{nullptr, nullptr};
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& pair : pairs_) {
            if (keysEqual(pair.first, key)) {
                replaced = pair;
                pair = {key, value};
                break;
            }
        }
        if (replaced.first == nullptr)
            pairs_.emplace_back(key, value);
    }
    if (replaced.first == nullptr)
        return;
    if (keyCallBacks_.release != nullptr)
        keyCallBacks_.release(nullptr, replaced.first);
    if (valueCallBacks_.release != nullptr)
        valueCallBacks_.release(nullptr, replaced.second);
}

const void* __CFDictionary::get(const void* key) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& pair : pairs_)
        if (keysEqual(pair.first, key))
            return pair.second;
    return nullptr;
}

std::vector<std::pair<const void*, const void*>> __CFDictionary::pairs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pairs_;
}

void __CFDictionary::finalize() {
    std::vector<std::pair<const void*, const void*>> held;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        held.swap(pairs_);
    }
    for (const auto& pair : held) {
        if (keyCallBacks_.release != nullptr)
            keyCallBacks_.release(nullptr, pair.first);
        if (valueCallBacks_.release != nullptr)
            valueCallBacks_.release(nullptr, pair.second);
    }
}

extern "C" {

const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks = {0,       typeRetain, typeRelease,
                                                                nullptr, typeEqual,  typeHash};
const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks = {0, typeRetain, typeRelease,
                                                                    nullptr, typeEqual};

CFTypeID CFDictionaryGetTypeID(void) {
    return kDictionaryType;
}

// The capacity is a hint only, as on macOS.
CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef, CFIndex,
                                                 const CFDictionaryKeyCallBacks* keyCallBacks,
                                                 const CFDictionaryValueCallBacks* valueCallBacks) {
    NoCancel noCancel;
    if (vmac::detail::processCallFails(vmac::Call::DictionaryCreateMutable))
        return nullptr;
    return new __CFDictionary(keyCallBacks, valueCallBacks);
}

void CFDictionarySetValue(CFMutableDictionaryRef theDict, const void* key, const void* value) {
    NoCancel noCancel;
    checked<__CFDictionary>(theDict, kDictionaryType, "CFDictionarySetValue")->set(key, value);
}

const void* CFDictionaryGetValue(CFDictionaryRef theDict, const void* key) {
    NoCancel noCancel;
    return checked<__CFDictionary>(theDict, kDictionaryType, "CFDictionaryGetValue")->get(key);
}

}  // extern "C"
