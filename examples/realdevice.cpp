// The demo's device on macOS: a real HID device named by its I/O Registry path and
// the index of the usage pair to open (`quenor-list` prints both), or, with no
// arguments, the first vendor-defined one the enumerator finds.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "demotarget.h"

namespace {

class RealDevice : public DemoTarget {
public:
    RealDevice(std::wstring path, int index) : m_path(std::move(path)), m_index(index) {}

    std::wstring path() const override { return m_path; }
    int usagePairIndex() const override { return m_index; }
    std::string describe() const override { return "a real HID device"; }
    uint8_t outputReportId() const override { return 0; }
    uint8_t featureReportId() const override { return 0; }
    uint8_t foreignReportId() const override { return 0; }
    bool sendInput(uint8_t, const std::vector<uint8_t>&) override { return false; }

    void unplug() override {
        std::printf("\nUnplug the device now; the session goes on in 10 seconds.\n");
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::seconds(10));
    }

private:
    std::wstring m_path;
    int m_index;
};

}  // namespace

std::unique_ptr<DemoTarget> makeDemoTarget(int argc, char** argv) {
    if (argc == 1) {
        return std::make_unique<RealDevice>(std::wstring(), 0);
    }
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s [<registry path> <usage-pair index>]\n", argv[0]);
        return nullptr;
    }
    const std::string path = argv[1];
    return std::make_unique<RealDevice>(std::wstring(path.begin(), path.end()), std::atoi(argv[2]));
}
