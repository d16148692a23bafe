// Device naming: equality decided by the left handle, printing, shared handles, path narrowing.
#include <quenor/hiddevicedescriptor.h>
#include <quenor/mac/macdevicedescriptorhandle.h>

#include <gtest/gtest.h>

#include <tuple>

namespace {

HidDeviceDescriptor mac(const std::wstring& path, int index, uint64_t entryId = 0) {
    return HidDeviceDescriptor(new MacDeviceDescriptorHandle(path, index, entryId));
}

}  // namespace

TEST(HidDeviceDescriptor, EqualityIsDecidedByTheLeftHandle) {
    const HidDeviceDescriptor empty;
    const HidDeviceDescriptor base(new HidDescriptorHandleBase);
    const HidDeviceDescriptor full = mac(L"IOService:/A/B", 0);
    struct Agreeable : HidDescriptorHandleBase {  // equal to every handle
        bool equals(const HidDescriptorHandleBase*) const override { return true; }
    };
    const std::tuple<HidDeviceDescriptor, HidDeviceDescriptor, bool> cases[] = {
        {mac(L"IOService:/A/B", 0), full, true},  // distinct handles, same path and index
        {full, mac(L"IOService:/A/B", 1), false},
        {mac(L"IOService:/A/b", 0), full, false},
        {full, mac(L"IOService:/A/BC", 0), false},
        {empty, HidDeviceDescriptor(), true},
        {empty, full, false},
        {full, empty, false},
        {base, base, false},  // a base handle equals nothing, not even itself
        {HidDeviceDescriptor(new Agreeable), full, true},
        {full, HidDeviceDescriptor(new Agreeable), false},  // a foreign handle
        // With entry IDs on both sides the ID decides: devices may share a path.
        {mac(L"IOService:/A/B", 0, 7), mac(L"IOService:/A/B", 0, 8), false},
        {mac(L"IOService:/A/B", 0, 7), mac(L"IOService:/A/X", 0, 7), true},
        {mac(L"IOService:/A/B", 1, 7), mac(L"IOService:/A/B", 0, 7), false},
        {mac(L"IOService:/A/B", 0, 7), full, true},  // one side without: the path
    };
    for (const auto& [left, right, equal] : cases) {
        EXPECT_EQ(left == right, equal) << left.toString() << " == " << right.toString();
    }
}

// Path and index print as the device suite's listings show them; these are the corners.
TEST(HidDeviceDescriptor, PrintsAndNarrowsTheSharedHandle) {
    auto handle = std::make_shared<MacDeviceDescriptorHandle>(L"IOService:/A/B", 2, 42);
    std::shared_ptr<HidDescriptorHandleBase> base = handle;
    const HidDeviceDescriptor copy = HidDeviceDescriptor(base);
    EXPECT_EQ(base, handle) << "the constructor does not take its argument over";
    handle->setUsagePairIndex(-1);
    EXPECT_EQ(copy.toString(), L"IOService:/A/B/-1") << "copies share the handle";
    EXPECT_EQ(HidDeviceDescriptor(new HidDescriptorHandleBase).toString() +
                  HidDeviceDescriptor().toString(),
              L"");
    EXPECT_FALSE(HidDeviceDescriptor());
    // The narrow path keeps the low byte of each character: U+0141 gives 'A', U+00E9 gives 0xE9.
    // A new path names another device: the entry ID goes with the old one.
    EXPECT_EQ(handle->registryEntryId(), 42u);
    handle->setDevicePath(std::wstring(L"IOService:/x") + wchar_t(0x141) + wchar_t(0xE9));
    EXPECT_EQ(handle->devicePath(), "IOService:/xA\xE9");
    EXPECT_EQ(handle->registryEntryId(), 0u);
}
