// The settings module's pure parts: the ER78 byte, the value check, the
// steps' names.
#include <gtest/gtest.h>

#include <string>

#include "../../device/settings.h"

TEST(Settings, ER78IsReadByItsTypeCodeAndWrittenWithHandAs4)
{
    const struct {
        unsigned char byte;
        int meter, inverse;
    } read[] = {{0x00, METER_MILLILITER, 0}, {0x12, METER_LITER, 1},      {0x1A, METER_HAND, 1},
                {0x04, METER_UNKNOWN, 0},    {0xF0, METER_MILLILITER, 1}, {0x0B, METER_UNKNOWN, 0}};
    for (const auto& r : read) {
        EXPECT_EQ(r.meter, er78_meter(r.byte)) << (int)r.byte;
        EXPECT_EQ(r.inverse, er78_inverse(r.byte)) << (int)r.byte;
    }
    EXPECT_EQ(0x00, er78_compose(METER_MILLILITER, 0));
    EXPECT_EQ(0x12, er78_compose(METER_LITER, 1));
    EXPECT_EQ(0x14, er78_compose(METER_HAND, 1));
    EXPECT_EQ(0x04, er78_compose(METER_HAND, 0));
}

TEST(Settings, AValueIsADecimalByte)
{
    unsigned char v = 99;
    EXPECT_TRUE(setting_from_text("255", &v));
    EXPECT_EQ(255, v);
    EXPECT_TRUE(setting_from_text(" 7 ", &v));
    EXPECT_EQ(7, v);
    EXPECT_TRUE(setting_from_text("000", &v));
    EXPECT_EQ(0, v);
    for (const char* bad : {"256", "", " ", "-1", "+1", "12abc", "0x10", "99999999999", "1 2"})
        EXPECT_FALSE(setting_from_text(bad, &v)) << '"' << bad << '"';
    EXPECT_EQ(0, v);  // a refused text leaves the value
}

TEST(Settings, StepsAreNamedInTheControllersOrder)
{
    std::string reads, writes;
    for (int step = 1; step <= READ_STEPS; step++)
        reads += std::string(settings_read_failure(step)) + ";";
    for (int step = 1; step <= WRITE_STEPS; step++)
        writes += std::string(settings_write_failure(step)) + ";";
    EXPECT_EQ("Error read ER78;Error read ER79;Error read ER74;Error read ER75;"
              "Error read ER77;Error read ER72;",
              reads);
    EXPECT_EQ("Error write IR24;Error write ER78;Error write ER79;Error write ER72;"
              "Error write ER74;Error write ER75;Error write ER77;",
              writes);
    EXPECT_EQ(nullptr, settings_read_failure(0));
    EXPECT_EQ(nullptr, settings_write_failure(WRITE_STEPS + 1));
    EXPECT_STREQ("Error input ER79", setting_input_failure(REG_ER79));
    EXPECT_EQ(nullptr, setting_input_failure(REG_ER78));

    device_settings s = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(REG_ER72, settings_read_register(6));
    EXPECT_EQ(3, setting_value(s, REG_ER72));
    EXPECT_STREQ("ER72", setting_name(REG_ER72));
}
