// Numbers in the configuration file are read as sscanf reads "%d" and "%u" on the 32-bit
// target, whatever the build's word size.

#include <cstdint>

#include <gtest/gtest.h>

#include "base/ConfigValue.h"

TEST(UnitConfigValue, SignedValuesReadLikeScanfOnTheTarget)
{
    struct Case { const char* text; bool read; int32_t value; };
    const Case cases[] = {
        {"8000x", true, 8000},          {"  -3", true, -3},       {"+7", true, 7},
        {"0x1F90", true, 0},            {"\t\n42 43", true, 42},  {"2147483647", true, 2147483647},
        {"2147483648", true, INT32_MAX}, {"99999999999999999999999", true, INT32_MAX},
        {"-2147483648", true, INT32_MIN}, {"-99999999999", true, INT32_MIN},
        {"abc", false, 0},              {"", false, 0},           {"-", false, 0},
        {"+ 5", false, 0},              {nullptr, false, 0},
    };
    for (const Case& each : cases)
    {
        int32_t value = 12345;
        EXPECT_EQ(each.read, ScanInt(each.text, value)) << (each.text ? each.text : "(null)");
        EXPECT_EQ(each.read ? each.value : 12345, value) << (each.text ? each.text : "(null)");
    }
}

TEST(UnitConfigValue, UnsignedValuesWrapOnMinusAndSaturateWhenTooLarge)
{
    struct Case { const char* text; bool read; uint32_t value; };
    const Case cases[] = {
        {"55272", true, 55272},           {"-1", true, 4294967295u},     {"-3", true, 4294967293u},
        {"4294967295", true, 4294967295u}, {"4294967296", true, 4294967295u},
        {"99999999999", true, 4294967295u}, {"-99999999999", true, 4294967295u},
        {"-4294967295", true, 1u},         {"0x10", true, 0u},            {"x10", false, 0u},
        {" ", false, 0u},
    };
    for (const Case& each : cases)
    {
        uint32_t value = 777;
        EXPECT_EQ(each.read, ScanUnsigned(each.text, value)) << each.text;
        EXPECT_EQ(each.read ? each.value : 777u, value) << each.text;
    }
}
