// The device contract: what an application can do with one HID device.
//
// Roles: AbstractHidDevice::create() makes the platform's device (the macOS device) for a
// descriptor; the caller owns the object and deletes it through the virtual destructor. Calling
// order: create, open, transfers / string requests / allocateReport, close, delete; open and
// close may be repeated. Every transfer and string request returns at once with a
// hidutil::async_request whose value is the result record; failures arrive as records, never as
// exceptions.
//
// Front and hooks: open(), close() and allocateReport() are thin non-virtual fronts over the
// protected *_impl hooks that each platform overrides. The base keeps no open/closed state.
//
// The report pool: allocateReport() hands out buffers per report type and takes them back only
// when nobody else holds them (the application, a result record in a kept handle, a queued
// operation). The pool only grows, survives close() and is freed with the device. Only
// allocateReport() takes the pool mutex, and it calls allocateReport_impl() with the mutex held,
// so that hook must not call allocateReport().
//
// Threads: any thread may call any operation except that open, close and destruction must not
// overlap each other or other calls on the same device.
#pragma once

#include <quenor/export.h>
#include <quenor/hiddevicedescriptor.h>
#include <quenor/async_request>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class LinkCollectionNode;

// One report's bytes, shared by the application, the pool, queued operations and result
// records. No transfer adds or removes a report-ID byte: the buffer holds the report as the
// device takes or gives it.
// - A device with report IDs (its report descriptor numbers its reports 1 to 255): byte 0 of
//   every output, feature and input report is the report ID, and it counts in the report's
//   size (reportSize(), the device's Max...ReportSize). Pass the same ID as `reportId`.
// - A device without report IDs (report ID 0): the buffer is the data alone, from byte 0,
//   with no leading 0. Pass 0 as `reportId`.
using ReportBuffer = std::shared_ptr<std::vector<uint8_t>>;

class QUENOR_EXPORT AbstractHidDevice {
public:
    // The platform's report-type numbering. Other values pass through unchanged.
    enum ReportType { Input = 0, Output = 1, Feature = 2 };

    struct AsyncOpResult {
        bool success;
        int32_t bytesTransferred;  // -1 after a failed transfer, 0 when none was attempted
        ReportBuffer buffer;       // the buffer the operation worked on, not a copy
        uint8_t reportId;
        int64_t status;  // platform status widened with its sign; 0 when there is none
    };

    struct AsyncStrReqResult {
        bool success;
        std::wstring value;  // empty on failure
        int64_t status;
    };

    AbstractHidDevice(const AbstractHidDevice&) = delete;
    AbstractHidDevice& operator=(const AbstractHidDevice&) = delete;

    // The virtual operations below keep their declaration order: it is the order of the slots.
    virtual ~AbstractHidDevice();
    virtual bool isOpened() const = 0;
    // The platform device object, null when not open.
    virtual void* nativeHandle() const = 0;
    // Time-outs in milliseconds. `report` follows the report-buffer convention above: byte 0
    // is `reportId` when the device numbers its reports, data otherwise.
    virtual hidutil::async_request<AsyncOpResult> setReport(unsigned char reportId,
                                                            const ReportBuffer& report,
                                                            long timeout) = 0;
    virtual hidutil::async_request<AsyncOpResult> getReport(const ReportBuffer& report,
                                                            long timeout) = 0;
    // By default: writes "Not supported by current implementation." on standard error and
    // answers a ready failure { false, 0, report, reportId, 0 }.
    virtual hidutil::async_request<AsyncOpResult> setFeature(unsigned char reportId,
                                                             const ReportBuffer& report);
    virtual hidutil::async_request<AsyncOpResult> getFeature(unsigned char reportId,
                                                             const ReportBuffer& report);
    virtual void cancelAll() = 0;
    // By default does nothing.
    virtual void setDoAsync(bool doAsync);
    virtual int usage() const = 0;
    virtual int usagePage() const = 0;
    // Not owned by the caller; may be null.
    virtual LinkCollectionNode* linkCollection() = 0;
    virtual uint16_t usbDeviceVersion() const = 0;
    // By default the string requests answer a ready failure { false, L"", 0 } silently.
    virtual hidutil::async_request<AsyncStrReqResult> manufacturerName() const;
    virtual hidutil::async_request<AsyncStrReqResult> productName() const;
    virtual hidutil::async_request<AsyncStrReqResult> serialNumber() const;
    virtual hidutil::async_request<AsyncStrReqResult> usbString(int index) const;
    // Bytes of one report of `type`.
    virtual int reportSize(ReportType type) = 0;
    // By default filtering is not supported: the switch is ignored and reads as false.
    virtual void setReportFilteringEnabled(bool enabled);
    virtual bool isReportFilteringEnabled() const;

protected:
    // Opens the device named by `descriptor` (the device's own); true when it is open.
    virtual bool open_impl(int accessMode, int shareMode,
                           const HidDeviceDescriptor& descriptor) = 0;
    // True when an open device was closed.
    virtual bool close_impl() = 0;
    // A new buffer for one report of `type`. Called with the pool mutex held.
    virtual ReportBuffer allocateReport_impl(ReportType type) = 0;

public:
    bool open(int accessMode, int shareMode);
    bool close();
    // A copy sharing the stored descriptor's handle.
    HidDeviceDescriptor descriptor() const;
    // The oldest pooled buffer of `type` that nobody else holds, as its last user left it, or a
    // new one from allocateReport_impl(). Allocation failures propagate with the pool intact.
    ReportBuffer allocateReport(ReportType type);

    // A request already fulfilled with { false, 0, buffer, reportId, status }; touches no device.
    static hidutil::async_request<AsyncOpResult> makeDefaultFailFuture(const ReportBuffer& buffer,
                                                                       unsigned char reportId,
                                                                       long status);

    // A new, unopened device of this platform for `descriptor` (sharing its handle), owned by the
    // caller. `context` is not used.
    static AbstractHidDevice* create(const HidDeviceDescriptor& descriptor);
    static AbstractHidDevice* create(void* context, const HidDeviceDescriptor& descriptor);

protected:
    AbstractHidDevice();

    // Empty until create() sets it; not changed afterwards.
    HidDeviceDescriptor m_descriptor;

private:
    std::mutex m_poolMutex;
    // Guarded by m_poolMutex. Per report type, every buffer ever made, in order of creation.
    std::map<int, std::vector<ReportBuffer>> m_reportPool;
};
