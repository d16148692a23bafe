// Device strings: the cached HID strings (decoded from UTF-8) and USB string
// descriptors fetched by GET_DESCRIPTOR, including malformed descriptors.
#include "devicefixture.h"

namespace devicetest {
namespace {

using StrResult = AbstractHidDevice::AsyncStrReqResult;

constexpr int64_t widened(IOReturn code) {
    return static_cast<int32_t>(code);
}

void expectString(const StrResult& result, const std::wstring& value) {
    EXPECT_TRUE(result.success);
    EXPECT_EQ(value, result.value);
    EXPECT_EQ(0, result.status);
}

void expectFailure(const StrResult& result, int64_t status) {
    EXPECT_FALSE(result.success);
    EXPECT_TRUE(result.value.empty());
    EXPECT_EQ(status, result.status);
}

class StringsTest : public DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        gadget = plugGadget();
    }

    // A call left blocked by a failed expectation would hold up the device's
    // destruction for good; let it return so that the test fails instead.
    void TearDown() override {
        gadget.releaseBlockedCalls();
        DeviceTest::TearDown();
    }

    AbstractHidDevice* openGadget() {
        AbstractHidDevice* device = makeDevice();
        EXPECT_TRUE(device->open(0, 1));
        return device;
    }

    std::vector<vmac::PipeCall> controlRequests() const {
        std::vector<vmac::PipeCall> requests;
        for (const vmac::PipeCall& call : gadget.pipeCalls()) {
            if (call.kind == vmac::PipeCallKind::ControlRequest) {
                requests.push_back(call);
            }
        }
        return requests;
    }

    vmac::VirtualDevice gadget;
};

// --- Cached strings -----------------------------------------------------------------

TEST_F(StringsTest, CachedStringsBeforeTheFirstOpenFail) {
    AbstractHidDevice* device = makeDevice();
    for (const auto& request :
         {device->manufacturerName(), device->productName(), device->serialNumber()}) {
        ASSERT_TRUE(request.is_ready());
        expectFailure(request.value(), 0);
    }
}

TEST_F(StringsTest, CachedAsciiStringsComeOutUnchangedAndOutliveClose) {
    AbstractHidDevice* device = openGadget();
    auto manufacturer = device->manufacturerName();
    ASSERT_TRUE(manufacturer.is_ready());
    expectString(manufacturer.value(), L"Quenor Test Works");
    expectString(await(device->productName()), L"Echo Gadget");
    expectString(await(device->serialNumber()), L"QT-0001");

    // After close: still the strings read at the last open, even though they changed.
    gadget.setStringProperty("Product", "Other");
    ASSERT_TRUE(device->close());
    expectString(await(device->productName()), L"Echo Gadget");
    expectString(await(device->manufacturerName()), L"Quenor Test Works");

    ASSERT_TRUE(device->open(0, 1));
    expectString(await(device->productName()), L"Other");
}

TEST_F(StringsTest, CachedUtf8DecodesOneCharacterPerCodePoint) {
    // e-acute (2 bytes), euro sign (3 bytes), a face outside the BMP (4 bytes).
    gadget.setStringProperty("Manufacturer", "Caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80!");
    gadget.removeProperty("SerialNumber");
    AbstractHidDevice* device = makeDevice();
    ASSERT_TRUE(device->open(0, 1));
    expectString(await(device->manufacturerName()),
                 std::wstring(L"Caf\x00E9 \x20AC ") + wchar_t(0x1F600) + L"!");
    // A missing property reads as empty text, and that still counts as read.
    expectString(await(device->serialNumber()), L"");
}

TEST_F(StringsTest, CachedInvalidUtf8BytesBecomeOneReplacementEach) {
    // The virtual platform's constant strings are taken byte for byte, unchecked.
    gadget.setProperty("Product", CFSTR("a\xC3(b\xE2\x82"));
    gadget.setProperty("Manufacturer", CFSTR("\xC0\xAF|\xED\xA0\x80|\xF4\x90\x80\x80|\x80\xFF"));
    AbstractHidDevice* device = makeDevice();
    ASSERT_TRUE(device->open(0, 1));
    const std::wstring r(1, wchar_t(0xFFFD));
    // A lead byte cut short by another character, and one cut short by the end.
    expectString(await(device->productName()), L"a" + r + L"(b" + r + r);
    // Overlong, surrogate, past U+10FFFF, stray continuation, impossible byte.
    expectString(await(device->manufacturerName()),
                 r + r + L"|" + r + r + r + L"|" + r + r + r + r + L"|" + r + r);
}

// --- USB string descriptors -------------------------------------------------------

TEST_F(StringsTest, UsbStringOnADeviceThatIsNotOpenFailsAtOnce) {
    gadget.setStringDescriptorText(2, u"abc");
    AbstractHidDevice* device = makeDevice();
    auto never = device->usbString(2);
    ASSERT_TRUE(never.is_ready());
    expectFailure(never.value(), 0);

    ASSERT_TRUE(device->open(0, 1));
    ASSERT_TRUE(device->close());
    auto closed = device->usbString(2);
    ASSERT_TRUE(closed.is_ready());
    expectFailure(closed.value(), 0);
    EXPECT_TRUE(controlRequests().empty());
}

TEST_F(StringsTest, UsbStringSendsAStandardGetDescriptorRequest) {
    AbstractHidDevice* device = openGadget();
    gadget.setStringDescriptor(0, {4, 3, 0x09, 0x04});
    gadget.setStringDescriptor(2, {8, 3, 'a', 0, 'b', 0, 'c', 0});

    expectString(await(device->usbString(0)), L"\x0409");
    expectString(await(device->usbString(2)), L"abc");

    const auto requests = controlRequests();
    ASSERT_EQ(2u, requests.size());
    for (const vmac::PipeCall& request : requests) {
        EXPECT_EQ(0, request.pipe);
        EXPECT_EQ(0x80, request.bmRequestType);
        EXPECT_EQ(6, request.bRequest);
        EXPECT_EQ(0x0409, request.wIndex);
        EXPECT_EQ(130, request.wLength);
    }
    EXPECT_EQ(0x0300, requests[0].wValue);
    EXPECT_EQ(0x0302, requests[1].wValue);
}

TEST_F(StringsTest, FailedControlRequestKeepsTheCodeWidened) {
    AbstractHidDevice* device = openGadget();
    gadget.setStringDescriptorText(1, u"x");
    expectFailure(await(device->usbString(5)), widened(vmac::kPipeStalled));
    EXPECT_GT(0, widened(vmac::kPipeStalled));

    gadget.setControlRequestResult(kIOReturnNotPermitted);
    expectFailure(await(device->usbString(1)), -536870174);
}

TEST_F(StringsTest, MalformedDescriptorLengthsAreTakenAsTheyCome) {
    AbstractHidDevice* device = openGadget();
    // Odd length: the last byte is dropped.
    gadget.setStringDescriptor(1, {7, 3, 'a', 0, 'b', 0, 'c', 0});
    expectString(await(device->usbString(1)), L"ab");

    // Longer than the bytes returned: the zero-filled rest becomes characters 0.
    gadget.setStringDescriptor(2, {12, 3, 'a', 0, 'b', 0});
    expectString(await(device->usbString(2)), std::wstring(L"ab\0\0\0", 5));

    // Longer than the 130-byte buffer: cut at its 64 code units.
    std::vector<uint8_t> longest = {255, 3};
    std::wstring first64;
    for (int i = 0; i < 126; ++i) {
        const wchar_t unit = static_cast<wchar_t>(0x0100 + i);
        longest.push_back(static_cast<uint8_t>(unit & 0xFF));
        longest.push_back(static_cast<uint8_t>(unit >> 8));
        if (i < 64) {
            first64.push_back(unit);
        }
    }
    gadget.setStringDescriptor(3, longest);
    expectString(await(device->usbString(3)), first64);

    // Shorter than one code unit plus header: empty, and still a success.
    gadget.setStringDescriptor(4, {3, 3, 'a', 0});
    expectString(await(device->usbString(4)), L"");
    gadget.setStringDescriptor(5, {0, 3, 'a', 0});
    expectString(await(device->usbString(5)), L"");
}

TEST_F(StringsTest, SurrogatePairsStayTwoCharacters) {
    AbstractHidDevice* device = openGadget();
    gadget.setStringDescriptorText(6, u"x\U0001F600");
    expectString(await(device->usbString(6)), std::wstring{L'x', wchar_t(0xD83D), wchar_t(0xDE00)});
}

TEST_F(StringsTest, IndexOutsideAByteSpillsIntoTheDescriptorType) {
    AbstractHidDevice* device = openGadget();
    gadget.setStringDescriptor(0, {4, 3, 0x09, 0x04});
    // 256 asks for the same descriptor as 0.
    expectString(await(device->usbString(256)), L"\x0409");
    expectFailure(await(device->usbString(1024)), widened(vmac::kPipeStalled));
    expectFailure(await(device->usbString(-1)), widened(vmac::kPipeStalled));

    const auto requests = controlRequests();
    ASSERT_EQ(3u, requests.size());
    EXPECT_EQ(0x0300, requests[0].wValue);
    EXPECT_EQ(0x0700, requests[1].wValue);
    EXPECT_EQ(0xFFFF, requests[2].wValue);
}

TEST_F(StringsTest, QueuedStringRequestSurvivesClose) {
    const long comBefore = vmac::liveCOMReferences();
    AbstractHidDevice* device = openGadget();
    gadget.setStringDescriptorText(2, u"abc");
    gadget.queueSetReportAnswer({kIOReturnSuccess, {}, vmac::Block::NonCancellable});
    ReportBuffer buffer = bytes({1});
    auto blocker = device->setReport(1, buffer, -1);
    auto string = device->usbString(2);
    ASSERT_TRUE(gadget.waitForBlockedCalls(1));

    ASSERT_TRUE(device->close());
    gadget.releaseBlockedCalls();
    ASSERT_TRUE(await(blocker).success);
    // It ran after the close on the interface it took when it was made.
    expectString(await(string), L"abc");
    ASSERT_EQ(1u, controlRequests().size());

    // Once the queue has moved past it, the interface reference it held is gone,
    // although the device object still exists.
    EXPECT_FALSE(await(device->getFeature(1, buffer)).success);
    EXPECT_EQ(comBefore, vmac::liveCOMReferences());
}

TEST_F(StringsTest, QueuedStringRequestOnAnUnpluggedDeviceFails) {
    AbstractHidDevice* device = openGadget();
    gadget.setStringDescriptorText(2, u"abc");
    gadget.queueSetReportAnswer({kIOReturnSuccess, {}, vmac::Block::NonCancellable});
    auto blocker = device->setReport(1, bytes({1}), -1);
    auto string = device->usbString(2);
    ASSERT_TRUE(gadget.waitForBlockedCalls(1));
    ASSERT_EQ(vmac::Outcome::Delivered, gadget.unplug().wait());
    EXPECT_FALSE(await(blocker).success);
    expectFailure(await(string), widened(kIOReturnNoDevice));
}

}  // namespace
}  // namespace devicetest
