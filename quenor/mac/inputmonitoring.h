// Input Monitoring: the user's permission, since macOS 10.15, for a process to
// receive input reports from keyboard-like HID devices.
//
// Which devices need it: IOHIDFamily marks a device when one of its usage pairs
// is Generic Desktop Keyboard (1,6), Generic Desktop Mouse (1,2) or Digitizer
// Touch Pad (0x0D,0x05). The first open of such a device asks for the access
// itself (macOS may then show its prompt) and, unless the user has granted it,
// fails with kIOReturnNotPermitted (0xE00002E2): MacHidDevice::open() answers
// false and MacHidDevice::lastOpenStatus() tells that status. Other devices
// (vendor-defined pages, for one) open without it. The user grants it in System
// Settings > Privacy & Security > Input Monitoring (System Preferences > Security
// & Privacy > Privacy > Input Monitoring before macOS 13); the process may have
// to be restarted before the grant takes effect.
//
// Both functions may be called from any thread and never throw.
#pragma once

#include <quenor/export.h>

enum class InputMonitoringAccess {
    Granted,  // the user allowed it
    Denied,   // the user refused it, or it cannot be had (posting in a sandbox, say)
    Unknown,  // the user has not been asked yet
};

// The user's choice as it stands (IOHIDCheckAccess), without asking.
QUENOR_EXPORT InputMonitoringAccess checkInputMonitoringAccess();

// Asks for the access (IOHIDRequestAccess): when the user has not chosen yet,
// macOS shows its prompt, and this answers false at once; the user's answer
// applies from then on. True only when the access is granted now.
QUENOR_EXPORT bool requestInputMonitoringAccess();
