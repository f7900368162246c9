// The identities of the event interfaces as hosts know them.
#include <gtest/gtest.h>

#include "Mirel/MirelEvents.h"

namespace {

TEST(MirelEvents, InterfaceIdentifiers) {
    EXPECT_EQ(winport::GuidToString(DIID__ISkRefreshEvents), "{954C4341-FD5B-4C32-BA64-0395B4F22C3A}");
    EXPECT_EQ(winport::GuidToString(DIID__ISkTrace), "{BD156EA0-AA1E-4628-8DAA-EDFFEBF50F03}");
    EXPECT_EQ(winport::GuidToString(DIID__ISkConnectionEvents), "{1E29818D-5D00-4F49-A0C7-498D27B43F78}");
    EXPECT_EQ(winport::GuidToString(DIID__ISkCmdTargetEvents), "{3D08A6CB-DB87-43FE-9A27-734515C46B1C}");
    EXPECT_EQ(winport::GuidToString(DIID__ISkLoaderEvents), "{1FD8F394-5F03-4F46-AF7D-671565FBB00A}");
    EXPECT_EQ(winport::GuidToString(IID__ISkDebuggeeEvents), "{E926AAD7-2DBF-4F86-BFBD-7DE5D8A1E3BE}");
}

}  // namespace
