#include "platform_fake.h"

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

FakeDevice fake_device;
plat_datetime fake_local;
plat_datetime fake_utc;
int fake_set_time_error;
std::vector<plat_datetime> fake_set_times;

static const plat_handle FAKE_HANDLE = (plat_handle)(intptr_t)100;

void fake_reset()
{
    fake_device = FakeDevice();
    fake_local = plat_datetime{2026, 12, 2, 7, 1, 4, 26, 58};
    fake_utc = fake_local;
    fake_set_time_error = 0;
    fake_set_times.clear();
    fake_net_starts = 0;
}

static void note(const std::string& call)
{
    fake_device.calls.push_back(call);
}

int fake_net_starts;  // starts not yet stopped

int plat_serial_device_path(const char* name, char* path, unsigned size)
{
    int n = snprintf(path, size, "dev/%s", name);
    return n >= 0 && (unsigned)n < size ? 0 : ENAMETOOLONG;
}

int plat_serial_open(const char*, plat_handle* h)
{
    *h = PLAT_NO_HANDLE;
    if (fake_device.open_error)
        return fake_device.open_error;
    if (fake_device.open)
        return EBUSY;
    fake_device.open = true;
    *h = FAKE_HANDLE;
    return 0;
}

int plat_serial_set_timeouts(plat_handle, const plat_timeouts*)
{
    return 0;
}

int plat_serial_get_line(plat_handle, plat_line* line)
{
    *line = fake_device.line;
    return 0;
}

int plat_serial_set_line(plat_handle, const plat_line* line)
{
    note("line");
    if (fake_device.set_line_error)
        return fake_device.set_line_error;
    fake_device.line = *line;
    return 0;
}

int plat_serial_escape(plat_handle, int code)
{
    note("escape " + std::to_string(code));
    return fake_device.escape_error;
}

int plat_serial_rs485(plat_handle, int on)
{
    note("rs485 " + std::to_string(on));
    return fake_device.escape_error;
}

int plat_serial_line_errors(plat_handle, plat_line_errors* e)
{
    if (!fake_device.error_counts)
        return ENOTTY;
    e->parity += fake_device.new_errors[0];
    e->framing += fake_device.new_errors[1];
    e->overrun += fake_device.new_errors[2];
    memset(fake_device.new_errors, 0, sizeof fake_device.new_errors);
    e->asked = 1;
    return 0;
}

int plat_serial_in_queue(plat_handle, unsigned* count)
{
    *count = (unsigned)fake_device.input.size();
    return 0;
}

int plat_serial_out_queue(plat_handle, unsigned* count)
{
    *count = fake_device.busy_out_polls ? fake_device.last_write : 0;
    if (fake_device.busy_out_polls)
        fake_device.busy_out_polls--;
    note("outq " + std::to_string(*count));
    return 0;
}

int plat_serial_read(plat_handle, unsigned char* buf, unsigned n, unsigned* done)
{
    unsigned k = n < fake_device.input.size() ? n : (unsigned)fake_device.input.size();
    if (fake_device.deliver_at_most >= 0 && k > (unsigned)fake_device.deliver_at_most)
        k = (unsigned)fake_device.deliver_at_most;
    memcpy(buf, fake_device.input.data(), k);
    fake_device.input.erase(0, k);
    *done = k;
    return 0;
}

int plat_serial_write(plat_handle, const unsigned char* buf, unsigned n, unsigned* done)
{
    note("write " + std::to_string(n));
    *done = 0;
    if (fake_device.write_error)
        return fake_device.write_error;
    fake_device.written.append((const char*)buf, n);
    fake_device.last_write = n;
    *done = n;
    if (!fake_device.replies.empty()) {
        fake_device.input += fake_device.replies.front();
        fake_device.replies.pop_front();
    }
    return 0;
}

// As the platform's: polled each millisecond, for what is queued at the
// device's rate and 250 ms.
unsigned plat_serial_drain(plat_handle h)
{
    unsigned left = 0;
    plat_serial_out_queue(h, &left);
    plat_line line = fake_device.line;
    line.baud = line.baud ? line.baud : 4800;
    plat_deadline d;
    plat_deadline_start(&d, plat_line_time_ms(&line, left) + 250);
    for (; left && !plat_deadline_expired(&d); plat_serial_out_queue(h, &left))
        plat_sleep_ms(1);
    return left;
}

int plat_serial_modem_status(plat_handle, unsigned* bits)
{
    *bits = fake_device.modem;
    return 0;
}

int plat_serial_event_mask(plat_handle, unsigned* mask)
{
    *mask = 0x1FF;
    return 0;
}

void plat_serial_close(plat_handle)
{
    fake_device.open = false;
}

int plat_error_name_too_long(void)
{
    return ENAMETOOLONG;
}
int plat_error_no_memory(void)
{
    return ENOMEM;
}
int plat_error_would_block(void)
{
    return EWOULDBLOCK;
}
int plat_error_timed_out(void)
{
    return ETIMEDOUT;
}
int plat_tcp_quickack(plat_socket)
{
    return 0;
}
int plat_tcp_ack_each(plat_socket)
{
    return 0;
}
int plat_error_invalid(void)
{
    return EINVAL;
}
int plat_error_not_supported(void)
{
    return EPROTONOSUPPORT;
}
int plat_error_connection_closed(void)
{
    return ECONNRESET;
}
int plat_tcp_connect(const char*, unsigned short, unsigned, plat_socket* s)
{
    *s = PLAT_NO_SOCKET;
    return ECONNREFUSED;
}
int plat_error_kind(int)
{
    return PLAT_ERR_OTHER;
}

void plat_error_text(int code, char* out, unsigned size)
{
    if (size)
        snprintf(out, size, "fake error %d", code);
}

// No network here; the socket library's starts and stops are counted.
int plat_net_start(void)
{
    fake_net_starts++;
    return 0;
}
void plat_net_stop(void)
{
    fake_net_starts--;
}
int plat_tcp_socket(plat_socket* s)
{
    *s = PLAT_NO_SOCKET;
    return EAFNOSUPPORT;
}
int plat_tcp_nonblocking(plat_socket)
{
    return EBADF;
}
int plat_tcp_keepalive(plat_socket)
{
    return EBADF;
}
int plat_tcp_nodelay(plat_socket)
{
    return EBADF;
}
int plat_tcp_bind_any(plat_socket, unsigned short)
{
    return EBADF;
}
int plat_tcp_listen(plat_socket, int)
{
    return EBADF;
}
int plat_tcp_accept(plat_socket, plat_socket* c, unsigned char*)
{
    *c = PLAT_NO_SOCKET;
    return EBADF;
}
int plat_tcp_local_port(plat_socket, unsigned short*)
{
    return EBADF;
}
int plat_tcp_available(plat_socket, unsigned* n)
{
    *n = 0;
    return EBADF;
}
int plat_tcp_recv(plat_socket, unsigned char*, unsigned, unsigned* got)
{
    *got = 0;
    return EBADF;
}
int plat_tcp_send(plat_socket, const unsigned char*, unsigned, unsigned* sent)
{
    *sent = 0;
    return EBADF;
}
void plat_tcp_close(plat_socket) {}

void plat_set_serial_root(const char*) {}
int plat_serial_key_start(plat_serial_key* key)
{
    key->count = 0;
    key->value_names = nullptr;
    key->port_names = nullptr;
    return 0;
}
int plat_serial_key_add(plat_serial_key*, const char*, const char*)
{
    return 0;
}
void plat_serial_key_read(plat_serial_key*) {}
int plat_serial_key_enum(const plat_serial_key*, int, char*, unsigned, char*, unsigned)
{
    return ENOENT;
}
void plat_serial_key_close(plat_serial_key*) {}

uint32_t plat_tick_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint32_t)(ts.tv_sec * 1000u + ts.tv_nsec / 1000000u);
}

void plat_sleep_ms(unsigned ms)
{
    struct timespec ts = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

uint64_t plat_perf_counter(void)
{
    return plat_tick_ms() * 1000000ull;
}

uint64_t plat_perf_frequency(void)
{
    return 1000000000u;
}

void plat_local_time(plat_datetime* t)
{
    *t = fake_local;
}
void plat_utc_time(plat_datetime* t)
{
    *t = fake_utc;
}

int plat_set_local_time(const plat_datetime* t)
{
    if (fake_set_time_error)
        return fake_set_time_error;
    fake_set_times.push_back(*t);
    fake_local = *t;
    return 0;
}

namespace {
struct start_args {
    int (*fn)(void*);
    void* arg;
};
}  // namespace

static void* run(void* p)
{
    start_args a = *(start_args*)p;
    delete (start_args*)p;
    a.fn(a.arg);
    return nullptr;
}

int plat_thread_start(plat_thread* t, unsigned, int (*fn)(void*), void* arg)
{
    pthread_t* tid = new pthread_t;
    int rc = pthread_create(tid, nullptr, run, new start_args{fn, arg});
    if (rc) {
        delete tid;
        *t = nullptr;
        return rc;
    }
    *t = tid;
    return 0;
}

int plat_thread_join(plat_thread t)
{
    pthread_t* tid = (pthread_t*)t;
    int rc = pthread_join(*tid, nullptr);
    delete tid;
    return rc;
}

int plat_pty_open(plat_handle* master, char*, unsigned)
{
    *master = PLAT_NO_HANDLE;
    return ENOSYS;
}
int plat_wait_readable(plat_handle, int)
{
    return -1;
}
int plat_symlink(const char*, const char*)
{
    return ENOSYS;
}
int plat_remove(const char*)
{
    return ENOSYS;
}
void plat_catch_termination(void) {}
int plat_termination_requested(void)
{
    return 0;
}
int plat_termination_signal(void)
{
    return 0;
}
FILE* plat_fopen(const char* path, const char* mode)
{
    return fopen(path, mode);
}
int plat_file_open_append(const char* path, FILE** f, int* kind)
{
    *kind = PLAT_FILE_REGULAR;
    *f = fopen(path, "ab");
    return *f ? 0 : errno;
}
int plat_file_error(void)
{
    return errno ? errno : EIO;
}
void plat_sleep_us(unsigned us)
{
    plat_sleep_ms(us / 1000);
}

int plat_serial_wait_input(plat_handle h, unsigned ms)
{
    note("wait " + std::to_string((intptr_t)h));
    if (!fake_device.input.empty())
        return 1;
    if (ms)
        plat_sleep_ms(ms);
    return 0;
}

int plat_serial_lost(plat_handle)
{
    return fake_device.gone ? 1 : 0;
}

int plat_tcp_wait_readable(const plat_socket*, int, unsigned ms)
{
    plat_sleep_ms(ms);
    return 0;
}

int plat_tcp_wait_writable(const plat_socket*, int, unsigned ms)
{
    plat_sleep_ms(ms);
    return 0;
}

int plat_executable_dir(char*, unsigned)
{
    return ENOENT;
}
int plat_stderr_is_terminal(void)
{
    return 0;
}

// The waits' deadline over the fake's clock; no interrupt ever comes.
void plat_deadline_start(plat_deadline* d, unsigned long ms)
{
    d->end = plat_perf_counter() + (uint64_t)ms * 1000000u;
}
unsigned long plat_deadline_left(const plat_deadline* d)
{
    uint64_t now = plat_perf_counter();
    return now >= d->end ? 0 : (unsigned long)((d->end - now + 999999u) / 1000000u);
}
int plat_deadline_expired(const plat_deadline* d)
{
    return plat_perf_counter() >= d->end;
}
int plat_wait_interrupted(void)
{
    return 0;
}
int plat_error_interrupted(void)
{
    return EINTR;
}
unsigned plat_wait_slice(const plat_deadline* d)
{
    unsigned long left = plat_deadline_left(d);
    return left < PLAT_WAIT_SLICE_MS ? (unsigned)left : (unsigned)PLAT_WAIT_SLICE_MS;
}
