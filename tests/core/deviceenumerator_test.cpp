// The enumerator facade: copy, move and cursor semantics, ownership, and the empty facade.
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

class DeviceEnumeratorTest : public ::testing::Test {
protected:
    static std::wstring at(DeviceEnumerator& e) { return e.get().toString(); }
    void TearDown() override { EXPECT_EQ(std::exchange(FakeEnumerator::live, 0), 0) << "leaked"; }
};

}  // namespace

TEST_F(DeviceEnumeratorTest, ForwardsToIndependentClonesAndAssignmentsReplaceTheImplementation) {
    DeviceEnumerator source(new FakeEnumerator(1));
    EXPECT_EQ(source.count(), 3);
    EXPECT_FALSE(source.atBegin() || source.atEnd() || source.moveTo(4));
    EXPECT_TRUE(source.moveTo(3) && source.atEnd() && !source.moveToNext() && source.moveTo(0) &&
                source.atBegin() && source.moveTo(1));
    DeviceEnumerator copy(source);
    DeviceEnumerator moved(std::move(source));  // clones too: the source keeps its position
    EXPECT_EQ(FakeEnumerator::live, 3);
    EXPECT_EQ(&++copy, &copy);
    EXPECT_EQ(at(source) + at(moved) + at(copy), L"/1/1/2");
    // The postfix forms hand back a cursor at the old position.
    DeviceEnumerator before = copy--;
    EXPECT_EQ(at(before) + at(copy), L"/2/1");
    before = moved++;
    EXPECT_EQ(at(before) + at(moved), L"/1/2");

    copy = std::move(moved);
    EXPECT_EQ(FakeEnumerator::live, 3) << "the target's old implementation is destroyed";
    EXPECT_EQ(moved.count(), 0) << "a moved-from source is left without implementation";
    copy = std::move(copy);
    EXPECT_EQ(at(copy), L"/2") << "self-move keeps the implementation";
    moved = copy;  // into a facade without implementation
    --moved;
    moved = moved;
    EXPECT_EQ(at(copy) + at(moved), L"/2/1") << "self-assignment keeps the position";
    moved = DeviceEnumerator(static_cast<NativeDeviceEnumerator*>(nullptr));
    copy = moved;
    EXPECT_EQ(at(copy), L"/2") << "copying an empty facade leaves the target alone";
}

TEST_F(DeviceEnumeratorTest, FacadeWithoutImplementationIsAnEmptyCursor) {
    DeviceEnumerator e(static_cast<NativeDeviceEnumerator*>(nullptr));
    EXPECT_EQ(e.count(), 0);
    EXPECT_TRUE(e.atEnd() && e.atBegin());
    EXPECT_FALSE(e.get());
    EXPECT_FALSE(e.moveToNext() || e.moveToPrevious() || e.moveTo(0));
    DeviceEnumerator before = e--;
    EXPECT_EQ(before.count() + DeviceEnumerator(e).count() + DeviceEnumerator(std::move(e)).count(),
              0);
}
