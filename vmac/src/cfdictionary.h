// CFDictionary: key-value pairs with the callbacks given at creation (the
// kCFType ones retain on insert, release on removal and compare keys by
// value). A mutable dictionary may be used from several threads: `mutex`
// guards the pairs. Values handed out are borrowed.
#pragma once

#include "object.h"

#include <mutex>
#include <utility>
#include <vector>

struct __CFDictionary : vmac::detail::Object {
    __CFDictionary(const CFDictionaryKeyCallBacks* keyCallBacks,
                   const CFDictionaryValueCallBacks* valueCallBacks);

    // Adds or replaces; the key and value are retained through the callbacks.
    void set(const void* key, const void* value);
    const void* get(const void* key) const;
    // A snapshot of the pairs (borrowed).
    std::vector<std::pair<const void*, const void*>> pairs() const;

protected:
    void finalize() override;

private:
    bool keysEqual(const void* a, const void* b) const;

    CFDictionaryKeyCallBacks keyCallBacks_{};      // immutable
    CFDictionaryValueCallBacks valueCallBacks_{};  // immutable
    mutable std::mutex mutex_;
    std::vector<std::pair<const void*, const void*>> pairs_;  // guarded by mutex_
};
