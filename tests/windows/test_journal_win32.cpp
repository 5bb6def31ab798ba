// The journal's platform calls through Win32 under Wine: BCrypt's SHA-256,
// LockFileEx between two opens, the user, the machine, %APPDATA%; and a
// chain appended and walked there.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>

#include "../../device/journal.h"
#include "../../platform/platform.h"
#include "../support/testsupport.h"

TEST(JournalWin32, PlatformCalls)
{
    char hex[PLAT_SHA256_HEX];
    ASSERT_EQ(plat_sha256_hex("abc", 3, hex), 0);
    EXPECT_STREQ(hex, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    char name[256];
    EXPECT_EQ(plat_user_name(name, sizeof name), 0);
    EXPECT_NE(name[0], 0);
    EXPECT_EQ(plat_host_name(name, sizeof name), 0);
    EXPECT_NE(name[0], 0);
    int off = plat_local_offset_minutes(plat_utc_ms());
    EXPECT_TRUE(off >= -12 * 60 && off <= 14 * 60) << off;
    EXPECT_GT(plat_utc_ms(), 1700000000000LL);  // after 2023

    char appdata[1024], path[1200];
    ASSERT_EQ(plat_getenv("APPDATA", appdata, sizeof appdata), 0);
    ASSERT_EQ(plat_user_data_file("kp6", "KP-6", "journal.jsonl", path, sizeof path), 0);
    EXPECT_EQ(std::string(path), std::string(appdata) + "\\KP-6\\journal.jsonl");

    TempDir dir;
    std::string file = dir.file("locked");
    FILE *a = nullptr, *b = nullptr;
    int kind = 0;
    ASSERT_EQ(plat_file_open_update(file.c_str(), &a, &kind), 0);
    ASSERT_EQ(plat_file_open_update(file.c_str(), &b, &kind), 0);
    EXPECT_EQ(plat_file_lock(a, 1000), 0);
    EXPECT_NE(plat_file_lock(b, 100), 0);  // held by the other open
    fputs("line\n", a);
    fflush(a);
    char got[8] = "";
    FILE* reader = plat_fopen(file.c_str(), "rb");  // a walk reads while it is held
    ASSERT_TRUE(reader);
    EXPECT_EQ(fread(got, 1, 5, reader), 5u);
    fclose(reader);
    plat_file_unlock(a);
    EXPECT_EQ(plat_file_lock(b, 1000), 0);
    fclose(a);
    fclose(b);
}

TEST(JournalWin32, AppendsAndWalksAChain)
{
    TempDir dir;
    journal_writer w{dir.file("KP-6\\journal.jsonl"), "kp6ctl 1.0.0", "COM7", ""};
    device_settings s{2, 15, 30, 40, 50, 7};
    ASSERT_EQ(journal_found(w, 0x1F, s, nullptr, nullptr), JOURNAL_OK);
    ASSERT_EQ(journal_change(w, 0x1F, "ER72", 30, 94, 94, JOURNAL_CONFIRMED, nullptr), JOURNAL_OK);
    journal_verdict v;
    ASSERT_EQ(journal_walk(w.path, nullptr, nullptr, nullptr, &v, nullptr), JOURNAL_OK);
    EXPECT_TRUE(journal_intact(v)) << journal_verdict_text(v);
    EXPECT_EQ(v.records, 2u);
    EXPECT_EQ(read_file(w.path).find('\r'), std::string::npos);  // LF alone
}
