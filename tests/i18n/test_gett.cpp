#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>
#ifndef _WIN32
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <string>

#include "../../i18n/gett.h"
#include "../support/testsupport.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KP6_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define KP6_ASAN 1
#endif
#ifdef KP6_ASAN
// From the sanitizer runtime; not every compiler installs its header.
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#endif

static const char* mo_dir = TEST_MO_DIR;

class Catalogue : public ::testing::Test {
protected:
    void TearDown() override { free_mo_file(); }
};

static void expect_sample_translations()
{
    EXPECT_STREQ("Альфа", gettext_easy("Alpha"));
    EXPECT_STREQ("Яблоко", gettext_easy("Apple"));
    EXPECT_STREQ("Банан", gettext_easy("Banana"));
    EXPECT_STREQ("Закрыть", gettext_easy("Close"));
    EXPECT_STREQ("Кобальт", gettext_easy("Cobalt"));
    EXPECT_STREQ("Медь", gettext_easy("Copper"));
    EXPECT_STREQ("цинк", gettext_easy("zinc"));
    EXPECT_NE(nullptr, strstr(gettext_easy(""), "charset=UTF-8"));  // the header entry
}

TEST_F(Catalogue, MsgfmtFilesInBothByteOrdersAndWithoutHashTranslateAlike)
{
    for (const char* f : {"le.mo", "be.mo", "nohash.mo"}) {
        SCOPED_TRACE(f);
        ASSERT_EQ(1, read_mo_file(f, mo_dir));
        EXPECT_EQ(8u, gettext_header[2]);
        expect_sample_translations();
    }
}

TEST_F(Catalogue, MissesReturnTheKeyPointerItself)
{
    ASSERT_EQ(1, read_mo_file("le.mo", mo_dir));
    const char* k1 = "Cherry";  // shares a first byte, not in the catalogue
    const char* k2 = "7 up";    // no key begins with a digit
    const char* k3 = "Яблоко";  // beyond ASCII: never indexed
    EXPECT_EQ(k1, gettext_easy(k1));
    EXPECT_EQ(k2, gettext_easy(k2));
    EXPECT_EQ(k3, gettext_easy(k3));
    const char* a = gettext_easy("Copper");
    EXPECT_EQ(a, gettext_easy("Copper"));  // same pointer every time
    EXPECT_EQ(0, orig_first_letter_a['C'] - orig_first_letter_a['C']);
    EXPECT_EQ(orig_first_letter_a['C'] + 2, orig_first_letter_b['C']);
    EXPECT_EQ(-1, orig_first_letter_a['7']);
}

TEST_F(Catalogue, LookupPrintsTheTimingLine)
{
    ASSERT_EQ(1, read_mo_file("le.mo", mo_dir));
    testing::internal::CaptureStdout();
    gettext_easy("Banana");
    gettext_easy("Cherry");
    std::string out = testing::internal::GetCapturedStdout();
    int a = -1, b = -1;
    ASSERT_EQ(2, sscanf(out.c_str(), "tick=%d\ntick not found=%d\n", &a, &b)) << out;
    EXPECT_GE(a, 0);
    EXPECT_GE(b, 0);
}

TEST_F(Catalogue, MissingShortAndForeignFilesAreRefused)
{
    TempDir d;
    const char* k = "Alpha";
    EXPECT_EQ(-1, read_mo_file("absent.mo", d.path.c_str()));
    EXPECT_EQ(k, gettext_easy(k));
    write_file(d.file("short.mo"), std::string("\xde\x12\x04\x95", 4) + "0123");
    EXPECT_EQ(-2, read_mo_file("short.mo", d.path.c_str()));
    write_file(d.file("foreign.mo"), std::string(40, 'x'));
    EXPECT_EQ(-3, read_mo_file("foreign.mo", d.path.c_str()));
    EXPECT_EQ(k, gettext_easy(k));
}

static void put32(std::string& s, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        s[at + i] = (char)(v >> (8 * i));
}

TEST_F(Catalogue, DamagedFilesAreRefusedAndTheEarlierOneStays)
{
    TempDir d;
    std::string good = read_file(std::string(mo_dir) + "/le.mo");
    ASSERT_GT(good.size(), 100u);
    ASSERT_EQ(1, read_mo_file("le.mo", mo_dir));
    const char* before = gettext_easy("Banana");

    struct Damage {
        const char* what;
        size_t at;
        uint32_t value;
    } damages[] = {
        {"count far beyond the file", 8, 0x10000000u},
        {"count that overflows", 8, 0xFFFFFFFFu},
        {"key table outside", 12, (uint32_t)good.size()},
        {"translation table outside", 16, 0xFFFFFFF0u},
        {"string length past the end", 28 + 8, 0x7FFFFFFFu},
        {"string offset past the end", 28 + 12, (uint32_t)good.size()},
        {"string without its NUL", 28 + 8 + 8, 1},
    };
    for (const auto& dmg : damages) {
        SCOPED_TRACE(dmg.what);
        std::string bad = good;
        put32(bad, dmg.at, dmg.value);
        write_file(d.file("bad.mo"), bad);
        EXPECT_EQ(-4, read_mo_file("bad.mo", d.path.c_str()));
        EXPECT_EQ(before, gettext_easy("Banana"));
    }
    write_file(d.file("cut.mo"), good.substr(0, good.size() - 10));
    EXPECT_EQ(-4, read_mo_file("cut.mo", d.path.c_str()));
    expect_sample_translations();
}

TEST_F(Catalogue, ZeroStringsLoadAndEverythingMisses)
{
    TempDir d;
    std::string empty(28, '\0');
    put32(empty, 0, 0x950412de);
    put32(empty, 12, 28);
    put32(empty, 16, 28);
    write_file(d.file("empty.mo"), empty);
    ASSERT_EQ(1, read_mo_file("le.mo", mo_dir));
    ASSERT_EQ(1, read_mo_file("empty.mo", d.path.c_str()));
    const char* k = "Alpha";
    EXPECT_EQ(k, gettext_easy(k));
    const char* e = "";
    EXPECT_EQ(e, gettext_easy(e));
    free_mo_file();
    EXPECT_EQ(k, gettext_easy(k));
}

#ifndef _WIN32  // measured with the C library's own counters, in a child process
static size_t allocated_bytes()
{
#ifdef KP6_ASAN
    return __sanitizer_get_current_allocated_bytes();
#else
    struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
#endif
}

// Every descriptor may name the same long string: the load keeps the file
// once, not the string once per descriptor. The load runs in a child so a
// reader that copies cannot take the machine's memory (outside the
// sanitizer, whose shadow mappings do not suffer an address-space limit).
TEST_F(Catalogue, ManyDescriptorsOfOneLongStringCostTheFileOnce)
{
    TempDir d;
    const uint32_t n = 1000, at = 28 + 16 * n, len = 1000000;
    std::string mo(at, '\0');
    put32(mo, 0, 0x950412de);
    put32(mo, 8, n);
    put32(mo, 12, 28);
    put32(mo, 16, 28 + 8 * n);
    for (uint32_t i = 0; i < 2 * n; i++) {
        put32(mo, 28 + 8 * i, len);
        put32(mo, 28 + 8 * i + 4, at);
    }
    std::string text(len, 'a');
    mo += text + '\0';
    write_file(d.file("long.mo"), mo);

    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
#ifndef KP6_ASAN
        long pages = 0;
        if (FILE* f = fopen("/proc/self/statm", "r")) {
            if (fscanf(f, "%ld", &pages) != 1)
                pages = 0;
            fclose(f);
        }
        struct rlimit lim;
        lim.rlim_cur = lim.rlim_max = (rlim_t)pages * sysconf(_SC_PAGESIZE) + (256u << 20);
        setrlimit(RLIMIT_AS, &lim);
#endif
        long long result[3] = {0, 0, 0};
        size_t before = allocated_bytes();
        result[0] = read_mo_file("long.mo", d.path.c_str());
        result[1] = (long long)(allocated_bytes() - before);
        const char* t = gettext_easy(text.c_str());
        result[2] = t != text.c_str() && strcmp(t, text.c_str()) == 0;
        free_mo_file();
        ssize_t w = write(fds[1], result, sizeof result);
        _exit(w == (ssize_t)sizeof result ? 0 : 1);
    }
    close(fds[1]);
    long long result[3] = {0, 0, 0};
    ssize_t got = read(fds[0], result, sizeof result);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_EQ((ssize_t)sizeof result, got);
    EXPECT_EQ(1, result[0]);
    EXPECT_LT(result[1], 2 * (long long)mo.size()) << "bytes kept for a file of " << mo.size();
    EXPECT_EQ(1, result[2]);  // the long key is found
}
#endif
