// The device the demo talks to. Off Apple hosts it is a simulated gadget on the
// virtual platform (virtualgadget.cpp); on macOS it is a real device named on the
// command line (realdevice.cpp). The build picks one; the session is the same.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class DemoTarget {
public:
    virtual ~DemoTarget() = default;

    // Where the device is: registry path and usage-pair index. An empty path means
    // none was given: the session takes a device from the enumerator.
    virtual std::wstring path() const = 0;
    virtual int usagePairIndex() const = 0;
    // One line saying what the target is.
    virtual std::string describe() const = 0;
    // The report IDs the session uses for output, feature and a foreign input report
    // (one that lies outside the opened usage page).
    virtual uint8_t outputReportId() const = 0;
    virtual uint8_t featureReportId() const = 0;
    virtual uint8_t foreignReportId() const = 0;

    // Makes the device send an input report, as a person pressing a button would.
    // False where the demo cannot (a real device sends what it likes).
    virtual bool sendInput(uint8_t reportId, const std::vector<uint8_t>& bytes) = 0;
    // Pulls the device out; a real device asks the person at the keyboard to do it.
    virtual void unplug() = 0;
};

// Builds the target from the command line; null with a message on standard error
// when the arguments do not name one.
std::unique_ptr<DemoTarget> makeDemoTarget(int argc, char** argv);
