// Devices of the C interface: opening an entry, closing, destroying, and the queries
// and switches that need no request.
#include "quenor/capi/capi.h"
#include "quenor/mac/utf8.h"

namespace quenor::capi {

// Why `device` failed to open: the platform status of the step that failed (an open
// that failed always has one; 0 would mean the device said nothing, read as an error).
quenor_status statusOfFailedOpen(const MacHidDevice& device) {
    const quenor_status status = device.lastOpenStatus();
    return status != 0 ? status : QUENOR_STATUS_ERROR;
}

CompletionLane& laneFor(quenor_device& device, bool input) {
    std::lock_guard<std::mutex> lock(device.lanesMutex);
    std::unique_ptr<CompletionLane>& lane = input ? device.inputLane : device.requestLane;
    if (!lane) {
        lane = std::make_unique<CompletionLane>();
    }
    return *lane;
}

}  // namespace quenor::capi

using quenor::capi::guarded;

extern "C" {

quenor_status quenor_device_open(const quenor_entry* entry, uint32_t flags,
                                 quenor_device** device) {
    if (device) {
        *device = nullptr;
    }
    if (!entry || !entry->path || !device || (flags & ~QUENOR_OPEN_EXCLUSIVE) != 0) {
        return QUENOR_STATUS_BAD_ARGUMENT;
    }
    return guarded([&] {
        HidDeviceEntry named;
        named.path = quenor::mac::decodeUtf8(entry->path);
        named.usagePairIndex = entry->pair_index;
        named.registryEntryId = entry->entry_id;
        const HidDeviceDescriptor descriptor = named.descriptor();
        auto opened = std::make_unique<quenor_device>();
        // The platform's device is a MacHidDevice on both platforms the library builds for.
        opened->device.reset(static_cast<MacHidDevice*>(AbstractHidDevice::create(descriptor)));
        const int shareMode = (flags & QUENOR_OPEN_EXCLUSIVE) ? 0 : 1;
        if (!opened->device->open(0, shareMode)) {
            return quenor::capi::statusOfFailedOpen(*opened->device);
        }
        *device = opened.release();
        return QUENOR_STATUS_OK;
    });
}

quenor_status quenor_device_close(quenor_device* device) {
    if (!device) {
        return QUENOR_STATUS_BAD_ARGUMENT;
    }
    // close() does not throw.
    return device->device->close() ? QUENOR_STATUS_OK : QUENOR_STATUS_NOT_OPEN;
}

void quenor_device_destroy(quenor_device* device) {
    if (!device) {
        return;
    }
    // The device first: its destruction answers or abandons every request it holds,
    // so that the lanes can tell the abandoned ones and finish.
    device->device.reset();
    for (auto* lane : {device->requestLane.get(), device->inputLane.get()}) {
        if (lane) {
            lane->abandon();
        }
    }
    delete device;
}

int quenor_device_is_open(const quenor_device* device) {
    return device && device->device->isOpened() ? 1 : 0;
}

size_t quenor_device_report_size(quenor_device* device, quenor_report_type type) {
    if (!device) {
        return 0;
    }
    const int size = device->device->reportSize(static_cast<AbstractHidDevice::ReportType>(type));
    return size > 0 ? static_cast<size_t>(size) : 0;
}

void quenor_device_set_report_filtering(quenor_device* device, int enabled) {
    if (device) {
        // Switching on while open collects the accepted report IDs; that never throws
        // (a list that cannot be built stays empty and accepts every report).
        device->device->setReportFilteringEnabled(enabled != 0);
    }
}

int quenor_device_report_filtering(const quenor_device* device) {
    return device && device->device->isReportFilteringEnabled() ? 1 : 0;
}

uint64_t quenor_device_dropped_reports(const quenor_device* device) {
    return device ? device->device->droppedInputReports() : 0;
}

void quenor_device_cancel(quenor_device* device) {
    if (device) {
        device->device->cancelAll();
    }
}

}  // extern "C"
