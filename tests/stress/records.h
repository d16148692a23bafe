// What a result record may look like, per operation: the documented set of
// records each transfer and string request can deliver, whatever raced it
// (close, reopen, destruction, unplug, scripted failures, blocking answers,
// time-outs). Each check returns "" for an allowed record, else what is wrong.
#pragma once

#include <quenor/abstracthiddevice.h>

#include <cstdint>
#include <string>

namespace stress {

using Result = AbstractHidDevice::AsyncOpResult;
using StrResult = AbstractHidDevice::AsyncStrReqResult;

// setReport / setFeature of `sent` with `reportId`.
std::string checkSetRecord(const Result& r, const ReportBuffer& sent, uint8_t reportId);

// getFeature into `buffer`; a report the device answered starts with its `tag`.
std::string checkFeatureReadRecord(const Result& r, const ReportBuffer& buffer, uint8_t reportId,
                                   uint8_t tag);

// getReport into `buffer`, whose bytes before the read were `before`: the shape
// of the record, and an untouched buffer when no report came. The bytes of a
// report that came are judged by the ledger.
std::string checkInputReadRecord(const Result& r, const ReportBuffer& buffer,
                                 const std::vector<uint8_t>& before);

// A cached string (manufacturerName, productName, serialNumber): `expected` when
// the device object's last open read the gadget's properties; `known` false
// when an unplug raced that open (any text then); `opened` false before the
// object's first successful open.
std::string checkCachedString(const StrResult& r, bool opened, bool known,
                              const std::wstring& expected);

// usbString(index): the descriptor's text, a failure with the platform's code,
// the not-open failure, or the product-name answer a close racing the request
// leads to. `expected` is null when the gadget has no descriptor at `index`;
// `productName` null when the product name is not known.
std::string checkUsbString(const StrResult& r, const std::wstring* expected,
                           const std::wstring* productName);

}  // namespace stress
