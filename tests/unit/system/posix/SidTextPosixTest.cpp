// Linux side of the SID text form: the parser is ours, so its limits are checked here.
#include "diag/IMException.h"
#include "system/Text.h"

#include <gtest/gtest.h>

namespace ZEPMaintenance {
namespace {

TEST(SidTextPosixTest, LimitsOfTheStandardForm) {
    EXPECT_THROW(SidFromString(L"S-1-5-32-4294967296"), IMException); // sub-authority over 32 bits
    EXPECT_EQ(SidFromString(L"S-1-5-32-4294967295").Sid(), L"S-1-5-32-4294967295");
    EXPECT_THROW(SidFromString(L"S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16"), IMException);
    EXPECT_EQ(SidFromString(L"S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15").GetSubAuthorities().size(), 15u);
    // A 48-bit authority prints in hexadecimal, as the Windows call does.
    EXPECT_EQ(SidFromString(L"S-1-0x112233445566-1").Sid(), L"S-1-0x112233445566-1");
    EXPECT_EQ(SidFromString(L"s-1-5-18"), CSid::LocalSystem());
    EXPECT_EQ(SidFromString(L"BA"), CSid::Administrators());
    EXPECT_THROW(SidFromString(L"S-1-5--3"), IMException);
    EXPECT_THROW(SidFromString(L"S-1-5-32-544-"), IMException);
}

} // namespace
} // namespace ZEPMaintenance
