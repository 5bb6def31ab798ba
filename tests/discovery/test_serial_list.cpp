#include <gtest/gtest.h>

#include <string>

#include "../../discovery/serial_list.h"
#include "../support/testsupport.h"

// KP6_PORTS comes ahead of the machine's devices; an element too long for
// an entry is left out whole.
TEST(SerialList, Kp6PortsFirst)
{
    TempDir empty;
    plat_set_serial_root(empty.path.c_str());
    set_env("KP6_PORTS", ("/dev/pts/7::" + std::string(80, 'x') + ":/tmp/sim-link").c_str());
    plat_serial_key key;
    ASSERT_EQ(0, serial_list_start(&key));
    plat_serial_key_read(&key);
    set_env("KP6_PORTS", nullptr);
    plat_set_serial_root(nullptr);
    ASSERT_EQ(2, key.count);
    char value[80], data[80], small[8];
    EXPECT_EQ(0, plat_serial_key_enum(&key, 0, value, sizeof value, data, sizeof data));
    EXPECT_STREQ(LISTED_PORTS_VALUE "1", value);
    EXPECT_STREQ("/dev/pts/7", data);
    // A port name longer than the caller's buffer is not handed out cut.
    EXPECT_NE(0, plat_serial_key_enum(&key, 1, value, sizeof value, small, sizeof small));
    EXPECT_EQ(0, plat_serial_key_enum(&key, 1, value, sizeof value, data, sizeof data));
    EXPECT_STREQ("/tmp/sim-link", data);
    plat_serial_key_close(&key);
}
