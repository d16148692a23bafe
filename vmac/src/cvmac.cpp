// The C face of the control API (<vmac/cvmac.h>): thin calls into <vmac/control.h>,
// with every exception turned into NULL or -1.
#include <vmac/control.h>
#include <vmac/cvmac.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <string>
#include <vector>

struct cvmac_gadget {
    vmac::VirtualDevice device;
};

namespace {

std::chrono::milliseconds waitOf(int64_t ms) {
    return std::chrono::milliseconds(std::max<int64_t>(ms, 0));
}

int outcomeOf(vmac::Outcome outcome) {
    switch (outcome) {
        case vmac::Outcome::Delivered:
            return CVMAC_DELIVERED;
        case vmac::Outcome::Dropped:
            return CVMAC_DROPPED;
        case vmac::Outcome::Pending:
            break;
    }
    return CVMAC_PENDING;
}

// UTF-8 as UTF-16; a byte that starts no valid sequence becomes U+FFFD.
std::u16string utf16Of(const char* text) {
    std::u16string out;
    const auto* byte = reinterpret_cast<const unsigned char*>(text);
    while (*byte) {
        uint32_t code = 0xFFFD;
        int extra = *byte >= 0xF0 ? 3 : *byte >= 0xE0 ? 2 : *byte >= 0xC0 ? 1 : 0;
        if (*byte < 0x80) {
            code = *byte;
        } else if (extra > 0) {
            code = *byte & (0x3F >> extra);
            for (int i = 1; i <= extra; ++i) {
                if ((byte[i] & 0xC0) != 0x80) {
                    code = 0xFFFD;
                    extra = 0;
                    break;
                }
                code = (code << 6) | (byte[i] & 0x3F);
            }
        }
        byte += 1 + extra;
        if (code >= 0x10000) {
            code -= 0x10000;
            out += static_cast<char16_t>(0xD800 | (code >> 10));
            out += static_cast<char16_t>(0xDC00 | (code & 0x3FF));
        } else {
            out += static_cast<char16_t>(code);
        }
    }
    return out;
}

// The registry properties of a description; the values are ours until released.
class Properties {
public:
    explicit Properties(const cvmac_gadget_description& d) {
        number("VendorID", d.vendor_id);
        number("ProductID", d.product_id);
        number("VersionNumber", d.release_number);
        number("LocationID", d.location_id);
        number("PrimaryUsagePage", d.usage_page);
        number("PrimaryUsage", d.usage);
        number("MaxInputReportSize", d.max_input_report_size);
        number("MaxOutputReportSize", d.max_output_report_size);
        number("MaxFeatureReportSize", d.max_feature_report_size);
        text("Manufacturer", d.manufacturer);
        text("Product", d.product);
        text("SerialNumber", d.serial_number);
        text("Transport", d.transport);
        keep("DeviceUsagePairs", vmac::makeUsagePairs({{d.usage_page, d.usage}}));
    }
    ~Properties() {
        for (auto& value : m_values) {
            CFRelease(value.second);
        }
    }
    Properties(const Properties&) = delete;
    Properties& operator=(const Properties&) = delete;
    const std::map<std::string, CFTypeRef>& values() const { return m_values; }

private:
    void keep(const std::string& key, CFTypeRef value) {
        try {
            m_values[key] = value;
        } catch (...) {
            CFRelease(value);
            throw;
        }
    }
    void number(const std::string& key, long long value) { keep(key, vmac::makeNumber(value)); }
    void text(const std::string& key, const char* value) {
        if (value) {
            keep(key, vmac::makeString(value));
        }
    }

    std::map<std::string, CFTypeRef> m_values;
};

}  // namespace

extern "C" {

cvmac_gadget* cvmac_plug(const cvmac_gadget_description* description) {
    if (!description || !description->path) {
        return nullptr;
    }
    try {
        const Properties properties(*description);
        auto* gadget = new cvmac_gadget;
        try {
            gadget->device = vmac::plugDeviceWithProperties(description->path, properties.values());
        } catch (...) {
            delete gadget;
            throw;
        }
        return gadget;
    } catch (...) {  // the path is taken, or no memory
        return nullptr;
    }
}

void cvmac_gadget_free(cvmac_gadget* gadget) {
    delete gadget;
}

int cvmac_unplug(cvmac_gadget* gadget, int64_t wait_ms) {
    if (!gadget) {
        return -1;
    }
    try {
        return outcomeOf(gadget->device.unplug().wait(waitOf(wait_ms)));
    } catch (...) {
        return -1;
    }
}

void cvmac_reset(void) {
    vmac::reset();
}

int cvmac_queue_get_report_answer(cvmac_gadget* gadget, int32_t result, const uint8_t* data,
                                  size_t length) {
    if (!gadget || (!data && length > 0)) {
        return -1;
    }
    try {
        vmac::ReportAnswer answer;
        answer.result = static_cast<IOReturn>(result);
        answer.data.assign(data, data + length);
        gadget->device.queueGetReportAnswer(answer);
        return 0;
    } catch (...) {
        return -1;
    }
}

int cvmac_queue_set_report_answer(cvmac_gadget* gadget, int32_t result) {
    if (!gadget) {
        return -1;
    }
    try {
        vmac::ReportAnswer answer;
        answer.result = static_cast<IOReturn>(result);
        gadget->device.queueSetReportAnswer(answer);
        return 0;
    } catch (...) {
        return -1;
    }
}

size_t cvmac_report_calls(const cvmac_gadget* gadget, size_t count, int64_t wait_ms) {
    if (!gadget) {
        return 0;
    }
    try {
        gadget->device.waitForReportCalls(count, waitOf(wait_ms));
        return gadget->device.reportCalls().size();
    } catch (...) {
        return 0;
    }
}

int cvmac_report_call_at(const cvmac_gadget* gadget, size_t index, cvmac_report_call* call,
                         uint8_t* bytes, size_t capacity) {
    if (!gadget || !call || (!bytes && capacity > 0)) {
        return -1;
    }
    try {
        const std::vector<vmac::ReportCall> calls = gadget->device.reportCalls();
        if (index >= calls.size()) {
            return -1;
        }
        const vmac::ReportCall& made = calls[index];
        call->kind = made.kind == vmac::ReportCallKind::Set ? 0 : 1;
        call->type = static_cast<int>(made.type);
        call->report_id = static_cast<uint32_t>(made.reportId);
        call->length = static_cast<size_t>(std::max<CFIndex>(made.length, 0));
        if (capacity > 0 && !made.bytes.empty()) {
            std::memcpy(bytes, made.bytes.data(), std::min(capacity, made.bytes.size()));
        }
        return 0;
    } catch (...) {
        return -1;
    }
}

int cvmac_inject_input_report(cvmac_gadget* gadget, uint32_t report_id, const uint8_t* data,
                              size_t length, int64_t wait_ms) {
    if (!gadget || (!data && length > 0)) {
        return -1;
    }
    try {
        const std::vector<uint8_t> bytes(data, data + length);
        return outcomeOf(gadget->device.injectInputReport(report_id, bytes).wait(waitOf(wait_ms)));
    } catch (...) {
        return -1;
    }
}

int cvmac_set_usb_string(cvmac_gadget* gadget, uint8_t index, const char* text) {
    if (!gadget || !text) {
        return -1;
    }
    try {
        gadget->device.setStringDescriptorText(index, utf16Of(text));
        return 0;
    } catch (...) {
        return -1;
    }
}

long cvmac_live_object_count(void) {
    return vmac::liveObjectCount();
}

}  // extern "C"
