// The enumerator facade's ownership: what assignments do with the implementations, and the empty
// facade. Cursor moves, copies and postfix forms over the real enumerator are the device suite's.
#include <quenor/deviceenumerator.h>
#include <quenor/mac/macdevicedescriptorhandle.h>

#include <gtest/gtest.h>

#include <utility>

namespace {

// A cursor over three devices, printed "/<position>", that counts its live instances: a leaked
// clone leaves the count above zero, a double delete drives it below (and ASan reports it).
class FakeEnumerator : public NativeDeviceEnumerator {
public:
    static inline int live = 0;

    explicit FakeEnumerator(int position = 0) : m_position(position) { ++live; }
    ~FakeEnumerator() override { --live; }
    NativeDeviceEnumerator* clone() override { return new FakeEnumerator(m_position); }
    HidDeviceDescriptor get() override {
        return HidDeviceDescriptor(new MacDeviceDescriptorHandle(L"", m_position));
    }
    bool atEnd() override { return m_position == 3; }
    bool atBegin() override { return m_position == 0; }
    int count() override { return 3; }
    bool moveToNext() override { return moveTo(m_position + 1); }
    bool moveToPrevious() override { return moveTo(m_position - 1); }
    bool moveTo(int i) override { return i >= 0 && i <= 3 && (m_position = i, true); }
    int m_position;
};

std::wstring at(DeviceEnumerator& e) {
    return e.get().toString();
}

}  // namespace

TEST(DeviceEnumerator, AssignmentsReplaceTheImplementationAndAnEmptyFacadeIsAnEmptyCursor) {
    {
        DeviceEnumerator copy(new FakeEnumerator(2));
        DeviceEnumerator moved(new FakeEnumerator(1));
        copy = std::move(moved);
        EXPECT_EQ(FakeEnumerator::live, 1) << "the target's old implementation is destroyed";
        EXPECT_EQ(moved.count(), 0) << "a moved-from source is left without implementation";
        copy = std::move(copy);
        EXPECT_EQ(at(copy), L"/1") << "self-move keeps the implementation";
        moved = copy;  // into a facade without implementation
        --moved;
        moved = moved;
        EXPECT_EQ(at(copy) + at(moved), L"/1/0") << "self-assignment keeps the position";
        moved = DeviceEnumerator(static_cast<NativeDeviceEnumerator*>(nullptr));
        copy = moved;
        EXPECT_EQ(at(copy), L"/1") << "copying an empty facade leaves the target alone";

        EXPECT_EQ(moved.count(), 0);
        EXPECT_TRUE(moved.atEnd() && moved.atBegin() && !moved.get());
        EXPECT_FALSE(moved.moveToNext() || moved.moveToPrevious() || moved.moveTo(0));
        DeviceEnumerator before = moved--;
        EXPECT_EQ(before.count() + DeviceEnumerator(std::move(moved)).count(), 0);
    }
    EXPECT_EQ(std::exchange(FakeEnumerator::live, 0), 0) << "leaked or deleted twice";
}
