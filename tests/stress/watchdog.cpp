#include "watchdog.h"

#include <cstdio>
#include <cstdlib>

namespace stress {

int64_t steadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void Activity::enter(const char* what, int device) {
    since_.store(steadyNowNs());
    device_.store(device);
    what_.store(what);
}

Watchdog::Watchdog(std::chrono::milliseconds bound, std::string context)
    : bound_(bound), context_(std::move(context)), watcher_([this] { watch(); }) {}

Watchdog::~Watchdog() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    watcher_.join();
}

Activity& Watchdog::add(std::string name) {
    std::lock_guard<std::mutex> lock(mutex_);
    activities_.emplace_back(std::move(name));
    return activities_.back();
}

void Watchdog::watch() {
    const int64_t boundNs = std::chrono::duration_cast<std::chrono::nanoseconds>(bound_).count();
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, std::chrono::milliseconds(500), [this] { return stopping_; })) {
        const int64_t now = steadyNowNs();
        for (const Activity& activity : activities_) {
            if (activity.what() != nullptr && now - activity.sinceNs() > boundNs) {
                fail(activity, now);
            }
        }
    }
}

void Watchdog::fail(const Activity& stuck, int64_t nowNs) {
    std::fprintf(stderr, "\nstress watchdog: '%s' has been in '%s' (device %d) for %.1f s; %s\n",
                 stuck.name().c_str(), stuck.what(), stuck.device(),
                 (nowNs - stuck.sinceNs()) / 1e9, context_.c_str());
    for (const Activity& activity : activities_) {
        const char* what = activity.what();
        std::fprintf(stderr, "  %-14s %-40s device %2d  for %.1f s\n", activity.name().c_str(),
                     what ? what : "(idle)", activity.device(),
                     what ? (nowNs - activity.sinceNs()) / 1e9 : 0.0);
    }
    std::fflush(stderr);
    std::abort();
}

}  // namespace stress
