// CFRunLoop: one per thread, made on first CFRunLoopGetCurrent and released
// when the thread ends (others may keep it alive with CFRetain).
//
// Only the loop's own thread runs it. Modes are keyed by name. `mutex` guards
// the modes, the stack of activations and the wake flag; callbacks are called
// with it unlocked. Lock order: the platform mutex may be held when a loop's
// mutex is taken, never the reverse.
#pragma once

#include "object.h"
#include "runloopsource.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct __CFRunLoop : vmac::detail::Object {
    __CFRunLoop();

    CFRunLoopRunResult run(const std::string& mode, CFTimeInterval seconds,
                           bool returnAfterSourceHandled);
    // True when the source was not yet in the mode (and is now, retained).
    bool addSource(__CFRunLoopSource* source, const std::string& mode);
    // True when the source was in the mode (and is now removed; caller releases).
    bool removeSource(__CFRunLoopSource* source, const std::string& mode);
    // Wakes the loop if it is running; a wake-up of an idle loop is forgotten.
    void wakeUp();
    void stop();
    // True while the loop's thread is inside CFRunLoopRunInMode.
    bool isRunning();
    // Removes (and cancels) every source in every mode; run when the loop's
    // thread ends.
    void removeAllSources();

    const std::thread::id thread;

protected:
    void finalize() override;

private:
    struct Activation {
        std::string mode;
        bool stopped = false;
    };

    bool modeIsEmpty(const std::string& mode) const;  // caller holds mutex_

    std::mutex mutex_;
    std::condition_variable wake_;
    std::map<std::string, std::vector<__CFRunLoopSource*>> modes_;  // guarded by mutex_; retained
    std::vector<Activation*> activations_;                          // guarded by mutex_
    bool wakePending_ = false;                                      // guarded by mutex_
};
