// The device contract's shared behaviour: forwarding fronts, the report pool and the defaults.
// create() belongs to the platform's device source.
#include <quenor/abstracthiddevice.h>

#include <atomic>
#include <iostream>

namespace {

hidutil::async_request<AbstractHidDevice::AsyncOpResult> notSupported(unsigned char reportId,
                                                                      const ReportBuffer& report) {
    // One write per line, so that concurrent callers do not interleave their messages.
    std::cerr << "Not supported by current implementation.\n" << std::flush;
    return AbstractHidDevice::makeDefaultFailFuture(report, reportId, 0);
}

hidutil::async_request<AbstractHidDevice::AsyncStrReqResult> noString() {
    return hidutil::make_ready_request(
        AbstractHidDevice::AsyncStrReqResult{false, std::wstring(), 0});
}

}  // namespace

AbstractHidDevice::AbstractHidDevice() = default;

AbstractHidDevice::~AbstractHidDevice() = default;

hidutil::async_request<AbstractHidDevice::AsyncOpResult> AbstractHidDevice::setFeature(
    unsigned char reportId, const ReportBuffer& report) {
    return notSupported(reportId, report);
}

hidutil::async_request<AbstractHidDevice::AsyncOpResult> AbstractHidDevice::getFeature(
    unsigned char reportId, const ReportBuffer& report) {
    return notSupported(reportId, report);
}

void AbstractHidDevice::setDoAsync(bool) {}

hidutil::async_request<AbstractHidDevice::AsyncStrReqResult> AbstractHidDevice::manufacturerName()
    const {
    return noString();
}

hidutil::async_request<AbstractHidDevice::AsyncStrReqResult> AbstractHidDevice::productName()
    const {
    return noString();
}

hidutil::async_request<AbstractHidDevice::AsyncStrReqResult> AbstractHidDevice::serialNumber()
    const {
    return noString();
}

hidutil::async_request<AbstractHidDevice::AsyncStrReqResult> AbstractHidDevice::usbString(
    int) const {
    return noString();
}

void AbstractHidDevice::setReportFilteringEnabled(bool) {}

bool AbstractHidDevice::isReportFilteringEnabled() const {
    return false;
}

bool AbstractHidDevice::open(int accessMode, int shareMode) {
    return open_impl(accessMode, shareMode, m_descriptor);
}

bool AbstractHidDevice::close() {
    return close_impl();
}

HidDeviceDescriptor AbstractHidDevice::descriptor() const {
    return m_descriptor;
}

ReportBuffer AbstractHidDevice::allocateReport(ReportType type) {
    std::lock_guard<std::mutex> lock(m_poolMutex);
    std::vector<ReportBuffer>& buffers = m_reportPool[type];
    // A buffer whose only owner is the pool can gain another only here, under the mutex, so two
    // callers never get the same free buffer. A reference dropped elsewhere during the walk may
    // be missed; that only costs a new buffer.
    for (const ReportBuffer& buffer : buffers) {
        if (buffer && buffer.use_count() == 1) {
            // use_count() is a relaxed read: order the last user's writes to the bytes
            // before the next owner's use of them.
            std::atomic_thread_fence(std::memory_order_acquire);
            return buffer;
        }
    }
    ReportBuffer fresh = allocateReport_impl(type);
    buffers.push_back(fresh);
    return fresh;
}

hidutil::async_request<AbstractHidDevice::AsyncOpResult> AbstractHidDevice::makeDefaultFailFuture(
    const ReportBuffer& buffer, unsigned char reportId, long status) {
    return hidutil::make_ready_request(
        AsyncOpResult{false, 0, buffer, reportId, static_cast<int64_t>(status)});
}
