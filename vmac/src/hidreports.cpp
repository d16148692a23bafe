// IOHIDDeviceSetReport / IOHIDDeviceGetReport: answered from the device's
// script, logged, and blocking when the script says so.
#include "blockedcall.h"
#include "hiddevice.h"
#include "platformstate.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>

using vmac::ReportAnswer;
using vmac::ReportCall;
using vmac::ReportCallKind;
using vmac::detail::BlockEnd;
using vmac::detail::DeviceState;
using vmac::detail::NoCancel;
using vmac::detail::platform;

namespace {

ReportAnswer nextAnswer(std::deque<ReportAnswer>& queued, const ReportAnswer& fallback) {
    if (queued.empty())
        return fallback;
    ReportAnswer answer = std::move(queued.front());
    queued.pop_front();
    return answer;
}

// How long the HID driver lets a synchronous report call wait for the device
// before it ends the call with kIOReturnTimeout, as IOHIDFamily's
// AppleUserHIDDevice does: the device's "RequestTimeout" property, in
// microseconds, read as an unsigned 32-bit number, when it lies from 50,000 to
// 1,200,000,000; otherwise (absent, not a number, out of range) 1,000,000.
// Caller holds the platform mutex.
std::chrono::microseconds requestTimeoutLocked(const DeviceState& state) {
    constexpr uint32_t kDefault = 1000000, kMin = 50000, kMax = 1200000000;
    uint32_t timeout = kDefault;
    const auto it = state.properties.find("RequestTimeout");
    int64_t value = 0;
    if (it != state.properties.end() && CFGetTypeID(it->second) == CFNumberGetTypeID() &&
        CFNumberGetValue(static_cast<CFNumberRef>(it->second), kCFNumberSInt64Type, &value)) {
        const auto candidate = static_cast<uint32_t>(value);
        if (candidate >= kMin && candidate <= kMax)
            timeout = candidate;
    }
    return std::chrono::microseconds(timeout);
}

// Logs the call and takes its answer, or fails it with the code macOS gives.
// Returns success when the call reached the device; `driverTimeout` is then
// how long a blocking answer may block (zero: for ever). A responder, when
// set, answers in place of the default, outside the platform lock.
IOReturn admit(__IOHIDDevice* d, const ReportCall& call, ReportAnswer& answer,
               std::chrono::microseconds& driverTimeout) {
    vmac::ReportResponder responder;
    {
        std::lock_guard<std::mutex> lock(platform().mutex);
        DeviceState& state = *d->device;
        if (!state.attached)
            return state.detachedResult;
        if (!d->open)
            return kIOReturnNotOpen;
        if (!d->hasAccess())
            return kIOReturnExclusiveAccess;  // another object seized the device
        const bool set = call.kind == ReportCallKind::Set;
        state.reportCalls.push_back(call);
        driverTimeout = requestTimeoutLocked(state);
        auto& queued = set ? state.setAnswers : state.getAnswers;
        if (queued.empty() && state.responder)
            responder = state.responder;
        else
            answer = nextAnswer(queued, set ? state.defaultSetAnswer : state.defaultGetAnswer);
        platform().changed.notify_all();
    }
    if (responder)
        answer = responder(call);
    return kIOReturnSuccess;
}

// Admits the call, then blocks when its answer says so. Success means `answer`
// is the device's; otherwise the code macOS gives (an unplug or the driver's
// time-out ends a block).
IOReturn answerCall(__IOHIDDevice* d, const ReportCall& call, ReportAnswer& answer,
                    const NoCancel& noCancel) {
    std::chrono::microseconds driverTimeout{0};
    const IOReturn admitted = admit(d, call, answer, driverTimeout);
    if (admitted != kIOReturnSuccess || answer.block == vmac::Block::None)
        return admitted;
    if (answer.neverReturns)
        driverTimeout = std::chrono::microseconds::zero();
    const BlockEnd end =
        vmac::detail::waitWhileBlocked(d->device, answer.block, driverTimeout, noCancel);
    if (end == BlockEnd::Released)
        return kIOReturnSuccess;
    if (end == BlockEnd::TimedOut)
        return kIOReturnTimeout;
    std::lock_guard<std::mutex> lock(platform().mutex);
    return d->device->detachedResult;
}

}  // namespace

extern "C" {

IOReturn IOHIDDeviceSetReport(IOHIDDeviceRef device, IOHIDReportType reportType, CFIndex reportID,
                              const uint8_t* report, CFIndex reportLength) {
    NoCancel noCancel;
    __IOHIDDevice* d = vmac::detail::deviceOf(device, "IOHIDDeviceSetReport");
    if (reportLength < 0 || (report == nullptr && reportLength > 0))
        return kIOReturnBadArgument;
    ReportCall call{ReportCallKind::Set,
                    reportType,
                    reportID,
                    std::vector<uint8_t>(report, report + reportLength),
                    reportLength,
                    std::this_thread::get_id()};
    ReportAnswer answer;
    const IOReturn reached = answerCall(d, call, answer, noCancel);
    return reached != kIOReturnSuccess ? reached : answer.result;
}

// On failure *pReportLength is left as it was.
IOReturn IOHIDDeviceGetReport(IOHIDDeviceRef device, IOHIDReportType reportType, CFIndex reportID,
                              uint8_t* report, CFIndex* pReportLength) {
    NoCancel noCancel;
    __IOHIDDevice* d = vmac::detail::deviceOf(device, "IOHIDDeviceGetReport");
    // macOS refuses an empty buffer too, and one above 64 KiB.
    if (pReportLength == nullptr || *pReportLength <= 0 || *pReportLength > 0x10000 ||
        report == nullptr)
        return kIOReturnBadArgument;
    ReportCall call{ReportCallKind::Get,       reportType, reportID, {}, *pReportLength,
                    std::this_thread::get_id()};
    ReportAnswer answer;
    const IOReturn reached = answerCall(d, call, answer, noCancel);
    if (reached != kIOReturnSuccess)
        return reached;
    if (answer.result != kIOReturnSuccess)
        return answer.result;
    const auto length = std::min<CFIndex>(*pReportLength, static_cast<CFIndex>(answer.data.size()));
    if (length > 0)
        std::memcpy(report, answer.data.data(), static_cast<size_t>(length));
    *pReportLength = length;
    return kIOReturnSuccess;
}

}  // extern "C"
