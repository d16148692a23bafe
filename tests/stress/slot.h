// Slot: one of the stress run's virtual devices and the library's device object
// for it.
//
// A slot has a registry path and a tag. The gadget plugged at the path is
// replaced by every replug; the MacHidDevice object is replaced by every
// destroy-and-create. Every gadget of a slot looks the same: usage 1 on page
// 0xFF00, 64-byte input and output reports, 16-byte feature reports, strings
// that carry the slot's number (one of them beyond ASCII), USB string
// descriptors 1 to 3, three endpoints, elements with report IDs 1 and 2 on its
// page and 3 on another, firmware that answers report calls with the tag, and
// a HID driver that ends a blocked report call after 100 ms.
// Slots 0 and 1 of every four are USB devices at paths of their own, named by
// path; slots 2 and 3 are user-space devices with no USB interface, which share
// one path as they do on a Mac, so their device objects name the gadget by its
// registry entry ID (a replug makes a new entry: the old object then no longer
// opens, as the stress expects, and is soon replaced by one for the new entry).
//
// Locks: `lifecycle` (LifecycleLock) orders the device object's calls as the
// contract asks; the fields marked "lifecycle" are written only under it held
// exclusively and read under it held in either mode. The gadget handle has its
// own small mutex, never held across anything that waits. The counters are
// atomics that threads compare across time without a lock.
#pragma once

#include <quenor/abstracthiddevice.h>
#include <vmac/control.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "faultlog.h"
#include "lifecyclelock.h"
#include "reports.h"

namespace stress {

// What every gadget of a slot says about itself.
struct GadgetFacts {
    std::string manufacturer, product, serialNumber;  // UTF-8 properties
    std::wstring wideManufacturer, wideProduct, wideSerialNumber;
    std::map<int, std::wstring> usbStrings;  // by descriptor index, as code units
    uint16_t releaseNumber;
};

class Slot {
public:
    Slot(int index, FaultLog& faults);

    const int index;
    const uint8_t tag;
    const bool usb;        // the gadget sits under a USB interface
    const bool byEntryId;  // device objects name the gadget by entry ID, not path
    const std::string path;
    const GadgetFacts facts;

    LifecycleLock lifecycle;
    std::unique_ptr<AbstractHidDevice> device;  // lifecycle; null between destroy and create
    uint64_t generation = 0;                    // lifecycle; of `device`
    bool opened = false;                        // lifecycle; `device` has had a successful open
    bool infoKnown = false;  // lifecycle; its last open read an undisturbed gadget
    bool filtering = false;  // lifecycle; `device`'s filtering switch
    uint64_t entryId = 0;    // lifecycle; the entry ID `device` names (byEntryId slots)

    std::atomic<uint64_t> liveGeneration{0};  // `generation` while `device` exists, else 0
    std::atomic<uint64_t> closeEpoch{0};      // after every close, reopen and destruction
    std::atomic<uint64_t> filterEpoch{0};     // odd while an open, switch, create or destroy runs
    std::atomic<bool> filterOn{false};
    std::atomic<uint64_t> overlapEpoch{0};  // odd while an open over an open device runs

    ReportLedger ledger;

    // A copy of the current gadget's handle (valid also once unplugged).
    vmac::VirtualDevice gadget() const;
    // The current gadget's number while it is plugged, else 0.
    uint64_t pluggedGadget() const;
    // The registry entry ID of the latest gadget (plugged or not); 0 before the first.
    uint64_t gadgetEntryId() const;
    // Plugs and configures a new gadget. Call with `lifecycle` held exclusively,
    // so that no open sees a gadget that is not configured yet.
    void plug();
    // Unplugs the current gadget (any thread, any time: that is the point).
    void unplug();

    ReportLedger::Snapshot snapshot() const {
        return {filterEpoch.load(), filterOn.load(), overlapEpoch.load()};
    }

private:
    FaultLog& faults_;
    mutable std::mutex gadgetMutex_;
    vmac::VirtualDevice gadget_;  // guarded by gadgetMutex_
    uint64_t gadgetNumber_ = 0;   // guarded by gadgetMutex_
    bool plugged_ = false;        // guarded by gadgetMutex_
};

// Path, as the descriptor handle takes it.
std::wstring widePath(const std::string& path);

}  // namespace stress
