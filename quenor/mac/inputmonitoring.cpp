#include "quenor/mac/inputmonitoring.h"

#include "quenor/mac/platform.h"

InputMonitoringAccess checkInputMonitoringAccess() {
    switch (IOHIDCheckAccess(kIOHIDRequestTypeListenEvent)) {
        case kIOHIDAccessTypeGranted:
            return InputMonitoringAccess::Granted;
        case kIOHIDAccessTypeDenied:
            return InputMonitoringAccess::Denied;
        default:
            return InputMonitoringAccess::Unknown;
    }
}

bool requestInputMonitoringAccess() {
    return IOHIDRequestAccess(kIOHIDRequestTypeListenEvent);
}
