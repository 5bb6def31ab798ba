// parse_backup's refusals: each bad text, and the line and cause it names.
#include <gtest/gtest.h>

#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../../device/backupfile.h"
#include "../../platform/platform.h"

TEST(BackupFile, EachBadTextIsRefusedAtItsLineWithItsCause)
{
    std::vector<backup_entry> entries = {{0x01, {0, 15, 10, 20, 30, 50}}};
    const std::string good = backup_text(entries, "/dev/ttyUSB0", nullptr);
    auto replaced = [&](const std::string& from, const std::string& to) {
        std::string t = good;
        t.replace(t.find(from), from.size(), to);
        return t;
    };
    std::string cr_only = replaced("\"ER77\": 50", "\"ER77\": 5.0");
    std::replace(cr_only.begin(), cr_only.end(), '\n', '\r');
    std::string many = "{";  // once a minute of the JSON library's key search
    for (int i = 0; i < 100000; i++) {
        char key[16];
        snprintf(key, sizeof key, "\"%x\":0,\n", i);
        many += key;
    }
    const struct {
        std::string text, message;
    } cases[] = {
        {replaced("\"ER79\": 15", "\"ER79\": 256"),
         "bad.json:11: ER79 is 256, not a whole number from 0 to 255"},
        {replaced("\"ER77\": 50", "\"ER77\": -1"),
         "bad.json:15: ER77 is -1, not a whole number from 0 to 255"},
        {replaced("\"ER72\": 10,", "\"ER72\": 10"),
         "bad.json:13: not valid JSON: syntax error while parsing object - unexpected string "
         "literal; expected '}'"},
        {replaced("\"version\": 1", "\"version\": 2"),
         "bad.json:3: unknown version 2 (this kp6ctl reads version 1)"},
        {good.substr(0, good.size() / 2), "bad.json:"},
        {replaced("\"address\": \"01\"", "\"address\": \"00\""),
         "bad.json:8: address \"00\" is not 01 to FF in hexadecimal"},
        // The translated key names the types as the table does.
        {replaced("\"ER78\": 0,", "\"ER78\": 4,"),
         "bad.json:10: ER78 is 4: type code 4 is none of " + meter_words(true)},
        {replaced("\"ER79\": 15", "\"ER79\": -0"),
         "bad.json:11: ER79 is -0: write 0 to 255 in digits alone"},
        {replaced("\"ER79\": 15", "\"ER79\": " + std::string(1000000, '9')),
         "bad.json:11: not valid JSON: number overflow parsing '" + std::string(36, '9') + "...9'"},
        {cr_only, "bad.json:15: ER77 is 5.0: write 0 to 255 in digits alone"},
        {std::string(100000, '['), "bad.json:1: nested deeper than a backup file is (4 levels)"},
        {replaced("\"ER77\": 50", "\"ER77\": [[50]]"),
         "bad.json:15: nested deeper than a backup file is (4 levels)"},
        {replaced("\"ER79\": 15", "\"ER79\": 3, \"ER79\": 15"),
         "bad.json:11: \"ER79\" given twice in one object"},
        {good + std::string(BACKUP_SIZE_MAX, ' '),
         "bad.json:20: longer than a backup file may be (1 MiB, 1048576 bytes)"},
        {many + "\"version\": 2}",
         "bad.json:100001: unknown version 2 (this kp6ctl reads version 1)"},
    };
    std::vector<backup_entry> got;
    std::string message;
    ASSERT_TRUE(parse_backup("good.json", good, got, message)) << message;
    ASSERT_EQ(1u, got.size());
    uint64_t t0 = plat_perf_counter();
    for (const auto& c : cases) {
        EXPECT_FALSE(parse_backup("bad.json", c.text, got, message)) << c.message;
        EXPECT_EQ(0u, message.find(c.message)) << message;
    }
    // Linear in the text's length: once more than a minute for the last.
    EXPECT_LT((double)(plat_perf_counter() - t0) / (double)plat_perf_frequency(), 20.0);
}
