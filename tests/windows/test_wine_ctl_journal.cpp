// kp6ctl.exe under Wine keeps its journal where a Windows user's data
// belongs: %APPDATA%\KP-6\journal.jsonl when KP6_JOURNAL is unset. Part of
// kp6_wine_e2e (KP6CTL_EXE, KP6_WINE_RUN and KP6_WINE_DIR set).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "../support/sim.h"
#include "../support/testsupport.h"

static std::string env_of(const char* name)
{
    const char* v = getenv(name);
    return v ? v : "";
}

TEST(Kp6ctlExe, AWriteIsJournaledUnderAppData)
{
    if (env_of("KP6CTL_EXE").empty())
        GTEST_SKIP() << "KP6CTL_EXE not set";
    std::string dir = env_of("KP6_WINE_DIR"), link = dir + "/com7";
    std::string journal = "'" + dir + "'/prefix/drive_c/users/*/AppData/Roaming/KP-6/journal.jsonl";
    run_command("rm -f " + journal);
    unlink(link.c_str());
    TempDir regs, cwd;
    Sim sim({"--state", regs.file("state"), "--link", link});
    ASSERT_FALSE(sim.path.empty());
    int status = -1;
    std::string out = run_command("cd '" + cwd.path + "' && env -u KP6_JOURNAL '" +
                                      env_of("KP6_WINE_RUN") + "' '" + dir + "' '" +
                                      env_of("KP6CTL_EXE") + "' --port COM7 write er79=20 2>err",
                                  &status);
    EXPECT_EQ(0, status) << read_file(cwd.file("err"));
    EXPECT_EQ("01: Write OK\r\n", out);
    std::string text = run_command("cat " + journal);
    // IR24 and the six settings, one line each, ER79 among them.
    size_t lines = 0;
    for (char c : text)
        lines += c == '\n';
    EXPECT_EQ(7u, lines) << text;
    EXPECT_NE(std::string::npos, text.find("ER79")) << text;
    EXPECT_NE(std::string::npos, text.find("COM7")) << text;
    unlink(link.c_str());
}
