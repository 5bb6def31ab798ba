// The device's answers: the bytes a controller sends arrive on a port
// while the exchanges of a Read, a Write and a Test wait for them. The port
// layer runs over the recording fake of the platform, which makes the next
// answer arrive after each frame sent. Input: one byte that caps what one
// read of the driver delivers (1 to 7, 0 all), then the answers, each a
// length byte and that many bytes. The answer time-out is 0: what has
// arrived is all there is, so no run waits for a timer.
#include <stddef.h>
#include <stdint.h>

#include "../device/exchange.h"
#include "../device/settings.h"
#include "../port/plainw.h"
#include "../tests/support/platform_fake.h"

static unsigned short line_port;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fake_reset();
    exchange_options o;
    o.answer_timeout_ms = 0;
    exchange_set_options(o);
    start_net(1);
    char name[] = "ttyFUZZ";
    if (open_port(&line_port, name, 0) != 0)
        __builtin_trap();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    fake_device.deliver_at_most = data[0] % 8 ? data[0] % 8 : -1;
    fake_device.input.clear();
    fake_device.written.clear();
    fake_device.calls.clear();
    fake_device.replies.clear();
    for (size_t i = 1; i < size;) {
        size_t n = data[i++];
        if (n > size - i)
            n = size - i;
        fake_device.replies.emplace_back((const char*)data + i, n);
        i += n;
    }
    device_settings s = {};
    int failed = settings_read(line_port, 0x01, s);
    if (failed < 0 || failed > READ_STEPS)
        __builtin_trap();
    failed = settings_write(line_port, 0x01, s);
    if (failed < 0 || failed > WRITE_STEPS)
        __builtin_trap();
    unsigned int word = WORD_ER78;
    int rc = device_exchange(line_port, 0x01, word, CMD_READ_ER);
    if ((rc != 1 && rc != -1) || (rc == 1 && word > 0xFF))
        __builtin_trap();
    device_test(line_port, 0x01);
    clear_buf(line_port);
    return 0;
}
