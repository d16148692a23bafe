// VmacTest: the fixture of the platform's own tests. Each test starts from an
// empty registry and must end with every CF object, registry reference and COM
// reference it made released again.
#pragma once

#include <vmac/control.h>
#include <vmac/platform.h>

#include <gtest/gtest.h>

namespace vmactest {

class VmacTest : public ::testing::Test {
protected:
    void SetUp() override {
        vmac::reset();
        objects_ = vmac::liveObjectCount();
        ioReferences_ = vmac::liveIOObjectReferences();
        comReferences_ = vmac::liveCOMReferences();
    }

    void TearDown() override {
        vmac::reset();
        EXPECT_EQ(objects_, vmac::liveObjectCount()) << "CF objects leaked or over-released";
        EXPECT_EQ(ioReferences_, vmac::liveIOObjectReferences()) << "registry references leaked";
        EXPECT_EQ(comReferences_, vmac::liveCOMReferences()) << "COM references leaked";
    }

private:
    long objects_ = 0;
    long ioReferences_ = 0;
    long comReferences_ = 0;
};

}  // namespace vmactest
