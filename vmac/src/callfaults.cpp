#include "callfaults.h"

#include "platformstate.h"

namespace vmac::detail {
namespace {

thread_local int t_builderDepth = 0;

bool covers(const CallFault& fault, Call call, const std::string& key) {
    return fault.call == call && fault.count != 0 &&
           (call != Call::GetProperty || fault.key.empty() || fault.key == key);
}

}  // namespace

void CallFaults::arm(const CallFault& fault) {
    if (fault.count == 0)
        return;
    if (fault.value != nullptr)
        CFRetain(fault.value);  // a retain never finalizes: safe under the lock
    faults_.push_back(fault);
}

bool CallFaults::take(Call call, const std::string& key, CallFault& taken) {
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (!covers(*it, call, key))
            continue;
        taken = *it;
        if (it->count < 0) {
            if (taken.value != nullptr)
                CFRetain(taken.value);
            return true;
        }
        // The last failure hands the fault's own reference on with its answer.
        if (--it->count > 0 && taken.value != nullptr)
            CFRetain(taken.value);
        if (it->count == 0)
            faults_.erase(it);
        return true;
    }
    return false;
}

int CallFaults::pending(Call call) const {
    int left = 0;
    for (const CallFault& fault : faults_) {
        if (fault.call != call)
            continue;
        if (fault.count < 0)
            return -1;
        left += fault.count;
    }
    return left;
}

void CallFaults::clear(std::vector<CFTypeRef>& released) {
    for (const CallFault& fault : faults_) {
        if (fault.value != nullptr)
            released.push_back(fault.value);
    }
    faults_.clear();
}

bool isProcessWide(Call call) {
    switch (call) {
        case Call::RunLoopSourceCreate:
        case Call::StringCreateWithCString:
        case Call::DictionaryCreateMutable:
        case Call::NumberCreate:
            return true;
        default:
            return false;
    }
}

bool processCallFails(Call call) {
    if (t_builderDepth > 0)
        return false;
    CallFault taken;
    std::lock_guard<std::mutex> lock(platform().mutex);
    return platform().callFaults.take(call, std::string(), taken);
}

BuilderScope::BuilderScope() {
    ++t_builderDepth;
}

BuilderScope::~BuilderScope() {
    --t_builderDepth;
}

}  // namespace vmac::detail
