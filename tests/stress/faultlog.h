// FaultLog: every fault the stress run sees, from any thread. The first few
// messages are kept for the report; all are counted.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace stress {

class FaultLog {
public:
    void add(const std::string& fault) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (++count_ <= kKept) {
            kept_.push_back(fault);
            std::fprintf(stderr, "stress fault: %s\n", fault.c_str());
        }
    }
    uint64_t count() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return count_;
    }
    std::vector<std::string> kept() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return kept_;
    }

private:
    static constexpr uint64_t kKept = 40;
    mutable std::mutex mutex_;
    uint64_t count_ = 0;             // guarded by mutex_
    std::vector<std::string> kept_;  // guarded by mutex_
};

}  // namespace stress
