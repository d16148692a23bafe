// Device strings: the cached HID strings (decoded from UTF-8) and USB string
// descriptors fetched by GET_DESCRIPTOR, including malformed descriptors.

#include "devicefixture.h"

namespace devicetest {
namespace {

using Fields = std::tuple<bool, std::wstring, int64_t>;
using StrResult = AbstractHidDevice::AsyncStrReqResult;

class StringsTest : public GadgetTest {
protected:
    static Fields fields(const StrResult& r) { return {r.success, r.value, r.status}; }
    static Fields text(std::wstring value) { return {true, std::move(value), 0}; }
    static Fields failure(int64_t status) { return {false, L"", status}; }
};

// Before the first open nothing is known; a USB string needs an open device. The
// cached strings come from the last open, also after a close, decoded from UTF-8:
// one wide character per code point; each byte of an invalid sequence becomes U+FFFD.
TEST_F(StringsTest, CachedStringsComeDecodedFromTheLastOpen) {
    // e-acute (2 bytes), euro sign (3 bytes), a face outside the BMP (4 bytes).
    gadget.setStringProperty("Manufacturer", "Caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80!");
    // The virtual platform's constant strings are taken byte for byte, unchecked:
    // a lead byte cut short by another character, and one cut short by the end;
    gadget.setProperty("Product", CFSTR("a\xC3(b\xE2\x82"));
    // overlong, surrogate, past U+10FFFF, stray continuation, impossible byte.
    gadget.setProperty("SerialNumber", CFSTR("\xC0\xAF|\xED\xA0\x80|\xF4\x90\x80\x80|\x80\xFF"));
    gadget.setStringDescriptorText(2, u"abc");
    AbstractHidDevice* device = makeDevice();
    for (const auto& request : {device->manufacturerName(), device->productName(),
                                device->serialNumber(), device->usbString(2)}) {
        ASSERT_TRUE(request.is_ready());
        EXPECT_EQ(failure(0), fields(request.value()));
    }
    ASSERT_TRUE(device->open(0, 1));
    auto manufacturer = device->manufacturerName();
    ASSERT_TRUE(manufacturer.is_ready());
    EXPECT_EQ(text(std::wstring(L"Caf\x00E9 \x20AC ") + wchar_t(0x1F600) + L"!"),
              fields(manufacturer.value()));
    const std::wstring r(1, wchar_t(0xFFFD));
    const Fields product = text(L"a" + r + L"(b" + r + r);
    EXPECT_EQ(product, fields(await(device->productName())));
    EXPECT_EQ(text(r + r + L"|" + r + r + r + L"|" + r + r + r + r + L"|" + r + r),
              fields(await(device->serialNumber())));

    gadget.setStringProperty("Product", "Other");
    ASSERT_TRUE(device->close());
    EXPECT_EQ(product, fields(await(device->productName())));
    auto closed = device->usbString(2);
    ASSERT_TRUE(closed.is_ready());
    EXPECT_EQ(failure(0), fields(closed.value()));
    EXPECT_TRUE(gadget.pipeCalls().empty());
    ASSERT_TRUE(device->open(0, 1));
    EXPECT_EQ(text(L"Other"), fields(await(device->productName())));
}

// A standard GET_DESCRIPTOR on pipe 0 for wValue 0x0300 | index, taken as it comes:
// an odd length loses its last byte, a length past the bytes returned reads the
// zero-filled rest, one past the 130-byte buffer is cut at 64 units, one under 4
// gives an empty text; surrogate pairs stay two characters.
TEST_F(StringsTest, UsbStringDescriptorsAreTakenAsTheyCome) {
    std::wstring units;
    std::vector<uint8_t> longest = {255, 3};
    for (wchar_t unit = 0x0100; unit < 0x0100 + 126; ++unit) {
        units.push_back(unit);
        longest.insert(longest.end(), {uint8_t(unit & 0xFF), uint8_t(unit >> 8)});
    }
    const int64_t stalled = widened(vmac::kPipeStalled);
    const struct {
        int index;
        std::vector<uint8_t> descriptor;  // served at the index's low byte, if any
        Fields expected;
    } cases[] = {
        {0, {4, 3, 0x09, 0x04}, text(L"\x0409")},
        {1, {8, 3, 'a', 0, 'b', 0, 'c', 0}, text(L"abc")},
        {2, {7, 3, 'a', 0, 'b', 0, 'c', 0}, text(L"ab")},
        {3, {12, 3, 'a', 0, 'b', 0}, text(std::wstring(L"ab\0\0\0", 5))},
        {4, longest, text(units.substr(0, 64))},
        {5, {3, 3, 'a', 0}, text(L"")},
        {6, {0, 3, 'a', 0}, text(L"")},
        {7, {8, 3, 'x', 0, 0x3D, 0xD8, 0x00, 0xDE}, text({L'x', wchar_t(0xD83D), wchar_t(0xDE00)})},
        {8, {}, failure(stalled)},  // an index the device does not have
        // Outside a byte the index spills into the descriptor type: 256 asks for
        // index 0 again, 1,024 for descriptor type 7, -1 for 0xFFFF.
        {256, {}, text(L"\x0409")},
        {1024, {}, failure(stalled)},
        {-1, {}, failure(stalled)},
    };
    AbstractHidDevice* device = openDevice();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.index);
        if (!c.descriptor.empty()) {
            gadget.setStringDescriptor(uint8_t(c.index), c.descriptor);
        }
        EXPECT_EQ(c.expected, fields(await(device->usbString(c.index))));
        const vmac::PipeCall request = gadget.pipeCalls().back();
        EXPECT_EQ(std::make_tuple(0, 0x80, 6, UInt16(0x0300 | c.index), 0x0409, 130),
                  std::make_tuple(request.pipe, request.bmRequestType, request.bRequest,
                                  request.wValue, request.wIndex, request.wLength));
    }
    EXPECT_EQ(std::size(cases), gadget.pipeCalls().size());
    // A failed request keeps the platform's code, widened with its sign.
    gadget.setControlRequestResult(kIOReturnNotPermitted);
    EXPECT_EQ(failure(-536870174), fields(await(device->usbString(1))));
}

// A string request queued behind a blocked transfer and run after a close uses the
// interface it took at the call and lets it go once run.
TEST_F(StringsTest, QueuedStringRequestRunsAfterClose) {
    const long comBefore = vmac::liveCOMReferences();
    gadget.setStringDescriptorText(2, u"abc");
    AbstractHidDevice* device = openDevice();
    gadget.queueSetReportAnswer({kIOReturnSuccess, {}, vmac::Block::NonCancellable, true});
    auto blocker = device->setReport(1, bytes({1}), -1);
    auto string = device->usbString(2);
    ASSERT_TRUE(gadget.waitForBlockedCalls(1));
    ASSERT_TRUE(device->close());
    gadget.releaseBlockedCalls();
    ASSERT_TRUE(await(blocker).success);
    EXPECT_EQ(text(L"abc"), fields(await(string)));
    EXPECT_FALSE(await(device->getFeature(1, bytes({0}))).success);  // the queue moved on
    EXPECT_EQ(comBefore, vmac::liveCOMReferences());
}

}  // namespace
}  // namespace devicetest
