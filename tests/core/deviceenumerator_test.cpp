// The enumerator facade over a counting fake: copy, move and cursor semantics, ownership, and the
// facade without implementation.
#include <quenor/deviceenumerator.h>
#include <quenor/mac/macdevicedescriptorhandle.h>

#include <gtest/gtest.h>

#include <string>

namespace {

// A cursor over three devices that counts its live instances: a leaked clone leaves the count
// above zero, a double delete drives it below (and ASan reports it).
class FakeEnumerator : public NativeDeviceEnumerator {
public:
    static int live;
    static int clones;

    explicit FakeEnumerator(int position = 0) : m_position(position) { ++live; }
    ~FakeEnumerator() override { --live; }

    NativeDeviceEnumerator* clone() override {
        ++clones;
        return new FakeEnumerator(m_position);
    }
    HidDeviceDescriptor get() override {
        if (atEnd()) {
            return HidDeviceDescriptor();
        }
        return HidDeviceDescriptor(
            new MacDeviceDescriptorHandle(L"IOService:/dev" + std::to_wstring(m_position), 0));
    }
    bool atEnd() override { return m_position >= kCount; }
    bool atBegin() override { return m_position == 0; }
    int count() override { return kCount; }
    bool moveToNext() override { return moveTo(m_position + 1); }
    bool moveToPrevious() override { return moveTo(m_position - 1); }
    bool moveTo(int index) override {
        if (index < 0 || index > kCount) {
            return false;
        }
        m_position = index;
        return true;
    }

    static constexpr int kCount = 3;

private:
    int m_position;
};

int FakeEnumerator::live = 0;
int FakeEnumerator::clones = 0;

std::wstring at(DeviceEnumerator& e) {
    return e.get().toString();
}

class DeviceEnumeratorTest : public ::testing::Test {
protected:
    void SetUp() override {
        FakeEnumerator::live = 0;
        FakeEnumerator::clones = 0;
    }
    void TearDown() override { EXPECT_EQ(FakeEnumerator::live, 0) << "leaked or double-deleted"; }
};

}  // namespace

TEST_F(DeviceEnumeratorTest, ForwardsCursorOperations) {
    DeviceEnumerator e(new FakeEnumerator);
    EXPECT_EQ(e.count(), 3);
    EXPECT_TRUE(e.atBegin());
    EXPECT_EQ(at(e), L"IOService:/dev0/0");
    EXPECT_TRUE(e.moveToNext());
    EXPECT_FALSE(e.atBegin());
    EXPECT_EQ(at(e), L"IOService:/dev1/0");
    EXPECT_TRUE(e.moveTo(3));
    EXPECT_TRUE(e.atEnd());
    EXPECT_FALSE(e.moveToNext()) << "the fake's answer is passed through";
    EXPECT_TRUE(e.moveToPrevious());
    EXPECT_EQ(at(e), L"IOService:/dev2/0");
    EXPECT_EQ(&++e, &e);
    EXPECT_TRUE(e.atEnd());
    EXPECT_EQ(&--e, &e);
    EXPECT_EQ(at(e), L"IOService:/dev2/0");
}

TEST_F(DeviceEnumeratorTest, CopiesAreIndependentCursors) {
    DeviceEnumerator original(new FakeEnumerator);
    DeviceEnumerator copy(original);
    copy.moveToNext();
    EXPECT_EQ(at(original), L"IOService:/dev0/0");
    EXPECT_EQ(at(copy), L"IOService:/dev1/0");
    EXPECT_EQ(FakeEnumerator::live, 2);
}

TEST_F(DeviceEnumeratorTest, MoveConstructionClonesAndLeavesTheSourceWhereItWas) {
    DeviceEnumerator source(new FakeEnumerator(1));
    DeviceEnumerator moved(std::move(source));
    EXPECT_EQ(FakeEnumerator::clones, 1);
    moved.moveToNext();
    EXPECT_EQ(at(source), L"IOService:/dev1/0");
    EXPECT_EQ(at(moved), L"IOService:/dev2/0");
}

TEST_F(DeviceEnumeratorTest, MoveAssignmentTakesOverAndEmptiesTheSource) {
    DeviceEnumerator source(new FakeEnumerator(2));
    DeviceEnumerator target(new FakeEnumerator(0));
    target = std::move(source);
    EXPECT_EQ(FakeEnumerator::live, 1) << "the target's old implementation is destroyed";
    EXPECT_EQ(FakeEnumerator::clones, 0);
    EXPECT_EQ(at(target), L"IOService:/dev2/0");
    EXPECT_EQ(source.count(), 0);
    EXPECT_TRUE(source.atEnd());

    target = std::move(target);
    EXPECT_EQ(at(target), L"IOService:/dev2/0") << "self-move keeps the implementation";
}

TEST_F(DeviceEnumeratorTest, CopyAssignmentReplacesWithAClone) {
    DeviceEnumerator source(new FakeEnumerator(2));
    DeviceEnumerator target(new FakeEnumerator(0));
    target = source;
    EXPECT_EQ(FakeEnumerator::live, 2);
    EXPECT_EQ(at(target), L"IOService:/dev2/0");
    target.moveToPrevious();
    EXPECT_EQ(at(source), L"IOService:/dev2/0");

    target = target;
    EXPECT_EQ(at(target), L"IOService:/dev1/0") << "self-assignment keeps the position";
    EXPECT_EQ(FakeEnumerator::live, 2);
}

TEST_F(DeviceEnumeratorTest, CopyAssignmentFromEmptyLeavesTheTargetAlone) {
    DeviceEnumerator empty(static_cast<NativeDeviceEnumerator*>(nullptr));
    DeviceEnumerator target(new FakeEnumerator(1));
    target = empty;
    EXPECT_EQ(FakeEnumerator::live, 1);
    EXPECT_EQ(at(target), L"IOService:/dev1/0");
}

TEST_F(DeviceEnumeratorTest, AssigningIntoAnEmptyFacadeGivesItAnImplementation) {
    DeviceEnumerator target(QuenorDeviceClass::Hid);
    DeviceEnumerator source(new FakeEnumerator(1));
    target = source;
    EXPECT_EQ(target.count(), 3);
    EXPECT_EQ(at(target), L"IOService:/dev1/0");
}

TEST_F(DeviceEnumeratorTest, PostfixOperatorsReturnTheOldPosition) {
    DeviceEnumerator e(new FakeEnumerator(1));
    DeviceEnumerator before = e++;
    EXPECT_EQ(at(before), L"IOService:/dev1/0");
    EXPECT_EQ(at(e), L"IOService:/dev2/0");
    DeviceEnumerator beforeBack = e--;
    EXPECT_EQ(at(beforeBack), L"IOService:/dev2/0");
    EXPECT_EQ(at(e), L"IOService:/dev1/0");
}

TEST_F(DeviceEnumeratorTest, FacadeWithoutImplementationIsAnEmptyCursor) {
    // The macOS build has no platform enumerator.
    EXPECT_EQ(nativeDeviceEnumeratorCreateHelper(QuenorDeviceClass::Hid), nullptr);
    DeviceEnumerator e(QuenorDeviceClass::Hid);
    EXPECT_EQ(e.count(), 0);
    EXPECT_TRUE(e.atEnd());
    EXPECT_TRUE(e.atBegin());
    EXPECT_FALSE(e.get());
    EXPECT_FALSE(e.moveToNext());
    EXPECT_FALSE(e.moveToPrevious());
    EXPECT_FALSE(e.moveTo(2));
    ++e;
    --e;
    DeviceEnumerator before = e++;
    DeviceEnumerator copy(e);
    DeviceEnumerator moved(std::move(e));
    EXPECT_EQ(before.count(), 0);
    EXPECT_EQ(copy.count(), 0);
    EXPECT_EQ(moved.count(), 0);
    EXPECT_EQ(FakeEnumerator::live, 0);
}
