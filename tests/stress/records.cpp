#include "records.h"

#include <vmac/control.h>

#include <algorithm>
#include <sstream>

#include "reports.h"

namespace stress {
namespace {

int64_t widened(IOReturn code) {
    return static_cast<int32_t>(code);
}

std::string describe(const Result& r) {
    std::ostringstream out;
    out << "{" << r.success << ", " << r.bytesTransferred << ", " << r.buffer.get() << ", "
        << int(r.reportId) << ", " << r.status << "}";
    return out.str();
}

std::string describe(const StrResult& r) {
    std::ostringstream out;
    out << "{" << r.success << ", " << r.value.size() << " chars, " << r.status << "}";
    return out.str();
}

std::string notAllowed(const char* what, const std::string& record) {
    return std::string(what) + " record not in the documented set: " + record;
}

}  // namespace

std::string checkSetRecord(const Result& r, const ReportBuffer& sent, uint8_t reportId) {
    // Every allowed record names the buffer sent.
    const bool failed = r.buffer == sent && !r.success;
    const int64_t s = r.status;
    const bool allowed =
        // the platform call returned success
        (r.buffer == sent && r.reportId == reportId && r.success &&
         r.bytesTransferred == static_cast<int32_t>(sent->size()) && s == 0) ||
        // the platform call failed with its status (scripted failure, unplug, a seize,
        // a closed device object, the driver's time-out); the sender was cut short by
        // its time-out or by the deletion; no sender thread could start
        (failed && r.reportId == reportId && r.bytesTransferred == -1 &&
         (s == widened(kIOReturnError) || s == widened(kIOReturnNotAttached) ||
          s == widened(kIOReturnExclusiveAccess) || s == widened(kIOReturnNotOpen) ||
          s == widened(kIOReturnTimeout) || s == widened(kIOReturnAborted) ||
          s == widened(kIOReturnNoResources))) ||
        // not open when called
        (failed && r.reportId == 0 && r.bytesTransferred == 0 && s == widened(kIOReturnError)) ||
        // queued before a close or a reopen, run after it
        (failed && r.reportId == reportId && r.bytesTransferred == 0 &&
         s == widened(kIOReturnNotOpen));
    return allowed ? std::string() : notAllowed("set transfer", describe(r));
}

std::string checkFeatureReadRecord(const Result& r, const ReportBuffer& buffer, uint8_t reportId,
                                   uint8_t tag) {
    if (!r.success && r.bytesTransferred == 0 && !r.buffer && r.reportId == 0 && r.status == 0) {
        return {};  // not open when it ran
    }
    if (r.buffer != buffer || r.reportId != reportId) {
        return notAllowed("feature read", describe(r));
    }
    if (r.success) {
        // The firmware answers a whole feature report; the buffer takes what fits.
        const auto answered = static_cast<int32_t>(std::min(buffer->size(), kFeatureReportSize));
        if (r.bytesTransferred != answered || r.status != 0) {
            return notAllowed("feature read", describe(r));
        }
        if (!buffer->empty() && (*buffer)[0] != tag) {
            return "feature read on device tag " + std::to_string(tag) +
                   " returned a report of tag " + std::to_string((*buffer)[0]);
        }
        return {};
    }
    const bool platformFailure =
        r.bytesTransferred == -1 &&
        (r.status == widened(kIOReturnError) || r.status == widened(kIOReturnAborted) ||
         r.status == widened(kIOReturnNotAttached) || r.status == widened(kIOReturnNotOpen) ||
         r.status == widened(kIOReturnTimeout) ||  // the driver's request time-out
         // pre-empted: a reopen (or another device object) seized the device meanwhile
         r.status == widened(kIOReturnExclusiveAccess));
    return platformFailure ? std::string() : notAllowed("feature read", describe(r));
}

std::string checkInputReadRecord(const Result& r, const ReportBuffer& buffer,
                                 const std::vector<uint8_t>& before) {
    if (!r.success && r.bytesTransferred == 0 && !r.buffer && r.reportId == 0 && r.status == 0) {
        return {};  // not open when it ran
    }
    if (!r.success && r.bytesTransferred == 0 && r.buffer == buffer && r.reportId == 0 &&
        r.status == widened(kIOReturnAborted)) {
        // answered by the deletion of its device object
        return *buffer == before ? std::string() : "an aborted input read changed the buffer";
    }
    if (r.buffer != buffer || r.reportId != 0 || r.status != 0) {
        return notAllowed("input read", describe(r));
    }
    if (!r.success) {
        if (r.bytesTransferred != -1) {
            return notAllowed("input read", describe(r));
        }
        if (*buffer != before) {
            return "an input read that found no report changed the caller's buffer";
        }
        return {};
    }
    // A report handed to a zero-byte buffer is consumed with nothing copied.
    const bool copied = r.bytesTransferred > 0 || (r.bytesTransferred == 0 && buffer->empty());
    return copied ? std::string() : notAllowed("input read", describe(r));
}

std::string checkCachedString(const StrResult& r, bool opened, bool known,
                              const std::wstring& expected) {
    if (!opened) {
        return !r.success && r.value.empty() && r.status == 0
                   ? std::string()
                   : notAllowed("cached string before the first open", describe(r));
    }
    if (!r.success || r.status != 0) {
        return notAllowed("cached string", describe(r));
    }
    if (known && r.value != expected) {
        return "cached string differs from the gadget's property: " + describe(r);
    }
    return {};
}

std::string checkUsbString(const StrResult& r, const std::wstring* expected,
                           const std::wstring* productName) {
    if (r.success) {
        if (r.status != 0) {
            return notAllowed("USB string", describe(r));
        }
        if (expected && r.value == *expected) {
            return {};
        }
        // A close between the open check and taking the interface answers with
        // what productName() answers.
        if (!productName || r.value == *productName) {
            return {};
        }
        return "USB string text differs from the descriptor: " + describe(r);
    }
    if (!r.value.empty()) {
        return notAllowed("USB string", describe(r));
    }
    const bool allowed = r.status == 0 || r.status == widened(kIOReturnNotAttached) ||
                         r.status == widened(kIOReturnAborted) ||  // its device was deleted
                         (!expected && r.status == widened(vmac::kPipeStalled));
    return allowed ? std::string() : notAllowed("USB string", describe(r));
}

}  // namespace stress
