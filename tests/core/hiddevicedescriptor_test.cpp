// Device naming: equality decided by the left handle, printing, shared handles, path narrowing.
#include <quenor/hiddevicedescriptor.h>
#include <quenor/mac/macdevicedescriptorhandle.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

HidDeviceDescriptor macDescriptor(const std::wstring& path, int index) {
    return HidDeviceDescriptor(new MacDeviceDescriptorHandle(path, index));
}

}  // namespace

TEST(HidDeviceDescriptor, MacHandlesCompareByExactPathAndIndex) {
    const std::wstring path = L"IOService:/AppleARMPE/usb@1/Device@01100000/IOUSBHostHIDDevice";
    EXPECT_TRUE(macDescriptor(path, 0) == macDescriptor(path, 0)) << "distinct equal handles";
    EXPECT_FALSE(macDescriptor(path, 0) == macDescriptor(path, 1));
    EXPECT_FALSE(macDescriptor(L"IOService:/A/b", 0) == macDescriptor(L"IOService:/A/B", 0));
    EXPECT_FALSE(macDescriptor(L"IOService:/A/B", 0) == macDescriptor(L"IOService:/A/BC", 0));
    EXPECT_TRUE(macDescriptor(path, 0) != macDescriptor(path, 1));
}

TEST(HidDeviceDescriptor, EmptyDescriptors) {
    HidDeviceDescriptor empty;
    HidDeviceDescriptor other;
    HidDeviceDescriptor full = macDescriptor(L"IOService:/A", 0);
    EXPECT_FALSE(empty);
    EXPECT_TRUE(full);
    EXPECT_EQ(empty.handle(), nullptr);
    EXPECT_EQ(empty.toString(), L"");
    EXPECT_TRUE(empty == other);
    EXPECT_FALSE(empty == full);
    EXPECT_FALSE(full == empty);
}

TEST(HidDeviceDescriptor, BaseHandleIsEqualToNothingAndPrintsEmpty) {
    HidDeviceDescriptor base(new HidDescriptorHandleBase);
    HidDeviceDescriptor copy = base;
    EXPECT_TRUE(base);
    EXPECT_FALSE(base == base);
    EXPECT_FALSE(base == copy);
    EXPECT_EQ(base.toString(), L"");
    // The left handle decides: a macOS handle on the left refuses a base handle, and vice versa.
    HidDeviceDescriptor mac = macDescriptor(L"IOService:/A", 0);
    EXPECT_FALSE(mac == base);
    EXPECT_FALSE(base == mac);
}

TEST(HidDeviceDescriptor, MacHandleEqualsRefusesNullAndForeignHandles) {
    MacDeviceDescriptorHandle handle(L"IOService:/A", 3);
    HidDescriptorHandleBase base;
    MacDeviceDescriptorHandle same(L"IOService:/A", 3);
    EXPECT_FALSE(handle.equals(nullptr));
    EXPECT_FALSE(handle.equals(&base));
    EXPECT_TRUE(handle.equals(&handle));
    EXPECT_TRUE(handle.equals(&same));
}

TEST(HidDeviceDescriptor, PrintsPathSlashIndex) {
    EXPECT_EQ(macDescriptor(L"IOService:/A/B", 2).toString(), L"IOService:/A/B/2");
    EXPECT_EQ(macDescriptor(L"IOService:/A/B", -1).toString(), L"IOService:/A/B/-1");
    EXPECT_EQ(macDescriptor(L"IOService:/A/B", 1234).toString(), L"IOService:/A/B/1234");
    EXPECT_EQ(macDescriptor(L"", 0).toString(), L"/0");
}

TEST(HidDeviceDescriptor, CopiesShareOneHandleAndSeeItsChanges) {
    auto handle = std::make_shared<MacDeviceDescriptorHandle>(L"IOService:/A", 0);
    std::shared_ptr<HidDescriptorHandleBase> base = handle;
    HidDeviceDescriptor first(base);
    HidDeviceDescriptor second = first;
    HidDeviceDescriptor third;
    third = second;
    EXPECT_EQ(first.handle().get(), handle.get());
    EXPECT_EQ(third.handle().get(), handle.get());
    EXPECT_EQ(base.get(), handle.get()) << "the constructor does not modify its argument";

    handle->setDevicePath(L"IOService:/Z");
    handle->setUsagePairIndex(4);
    EXPECT_EQ(third.toString(), L"IOService:/Z/4");
    EXPECT_EQ(handle->getUsagePairIndex(), 4);
}

TEST(MacDeviceDescriptorHandle, DevicePathKeepsTheLowByteOfEachCharacter) {
    MacDeviceDescriptorHandle ascii(L"IOService:/AppleACPIPlatformExpert/XHC1@14", 0);
    EXPECT_EQ(ascii.devicePath(), "IOService:/AppleACPIPlatformExpert/XHC1@14");

    // U+0141 narrows to 0x41 ('A'), U+00E9 to 0xE9; no encoding, same length.
    MacDeviceDescriptorHandle wide(std::wstring(L"x") + wchar_t(0x141) + wchar_t(0xE9), 0);
    const std::string narrow = wide.devicePath();
    ASSERT_EQ(narrow.size(), 3u);
    EXPECT_EQ(narrow[1], 'A');
    EXPECT_EQ(static_cast<unsigned char>(narrow[2]), 0xE9);
}
