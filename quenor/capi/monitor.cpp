// The hot-plug monitor of the C interface: a MacDeviceMonitor whose notices are
// handed to a C callback as quenor_entry values that live for the call.
#include "quenor/capi/capi.h"
#include "quenor/mac/macdevicemonitor.h"

using quenor::capi::guarded;

struct quenor_monitor {
    std::unique_ptr<MacDeviceMonitor> monitor;
};

extern "C" {

quenor_status quenor_monitor_start(const quenor_match* match, int report_present,
                                   quenor_notice_callback callback, void* context,
                                   quenor_monitor** monitor) {
    if (monitor) {
        *monitor = nullptr;
    }
    if (!callback || !monitor) {
        return QUENOR_STATUS_BAD_ARGUMENT;
    }
    return guarded([&] {
        auto started = std::make_unique<quenor_monitor>();
        // The callback runs on the monitor's thread, where nothing may be thrown: a
        // notice whose strings find no memory is not reported.
        started->monitor = std::make_unique<MacDeviceMonitor>(
            [callback, context](const HidDeviceNotice& notice) noexcept {
                try {
                    const quenor::capi::EntryText text(notice.entry);
                    const quenor_entry entry = quenor::capi::toCEntry(notice.entry, text);
                    callback(notice.kind == HidDeviceNotice::Kind::Arrival ? QUENOR_ARRIVAL
                                                                           : QUENOR_REMOVAL,
                             &entry, context);
                } catch (const std::bad_alloc&) {
                }
            },
            quenor::capi::toMatch(match), report_present != 0);
        if (!started->monitor->start()) {
            return QUENOR_STATUS_NO_RESOURCES;
        }
        *monitor = started.release();
        return QUENOR_STATUS_OK;
    });
}

void quenor_monitor_stop(quenor_monitor* monitor) {
    if (monitor) {
        monitor->monitor->stop();
    }
}

void quenor_monitor_free(quenor_monitor* monitor) {
    delete monitor;
}

}  // extern "C"
