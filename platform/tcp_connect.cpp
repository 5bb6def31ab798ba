// Connecting with a bound, the same on both systems: a name look-up that
// may not outlast the caller's bound, then each address the resolver gives
// in turn.
#include <stdio.h>
#include <string.h>

#include <atomic>
#include <new>

#include "system.h"

// A name lookup runs on a thread of its own, so that a resolver that does
// not answer costs the caller no more than its bound; a lookup given up on
// finishes later and frees what it holds. The job is shared by the two
// sides and freed by the last one.
struct resolve_job {
    std::atomic<int> refs;
    std::atomic<int> done;
    int rc;
    struct addrinfo* res;
    char host[256];
    char service[8];
};

static void job_release(resolve_job* j)
{
    if (j->refs.fetch_sub(1) != 1)
        return;
    if (j->res)
        sys_free_addresses(j->res);
    delete j;
}

static int resolve_thread(void* p)
{
    resolve_job* j = (resolve_job*)p;
    struct addrinfo* res = nullptr;
    int rc = sys_lookup(j->host, j->service, 0, &res);
    j->rc = rc;
    j->res = rc ? nullptr : res;
    j->done.store(1);
    job_release(j);
    return 0;
}

// The addresses of `host`, by the deadline: a literal address at once, a
// name through the resolver on a thread, looked at every millisecond; an
// interrupt gives up on it at once.
static int resolve(const char* host, const char* service, const plat_deadline* d,
                   struct addrinfo** res)
{
    *res = nullptr;
    if (sys_lookup(host, service, 1, res) == 0)
        return 0;
    *res = nullptr;
    if (strlen(host) >= sizeof(((resolve_job*)0)->host))
        return plat_error_name_too_long();
    resolve_job* j = new (std::nothrow) resolve_job();
    if (!j)
        return plat_error_no_memory();
    j->refs = 2;
    snprintf(j->host, sizeof j->host, "%s", host);
    snprintf(j->service, sizeof j->service, "%s", service);
    int rc = sys_thread_detached(resolve_thread, j);
    if (rc) {
        delete j;
        return rc;
    }
    while (!j->done.load() && plat_wait_slice(d))
        plat_sleep_ms(1);
    int result = plat_wait_end(nullptr);
    if (j->done.load()) {
        result = j->rc;
        *res = j->res;
        j->res = nullptr;
    }
    job_release(j);
    return result;
}

int plat_tcp_connect(const char* host, unsigned short port, unsigned ms, plat_socket* s)
{
    *s = PLAT_NO_SOCKET;
    plat_deadline d;
    plat_deadline_start(&d, ms);
    char service[8];
    snprintf(service, sizeof service, "%u", (unsigned)port);
    struct addrinfo* res;
    int rc = resolve(host, service, &d, &res);
    if (rc)
        return rc;
    rc = plat_error_timed_out();
    for (struct addrinfo* a = res; a; a = sys_next_address(a)) {
        int end = plat_wait_end(&d);
        if (end) {
            rc = end;
            break;
        }
        rc = sys_connect_one(a, (unsigned)plat_deadline_left(&d), s);
        if (rc == 0 || rc == plat_error_interrupted())
            break;
    }
    sys_free_addresses(res);
    if (rc == 0) {
        plat_tcp_nodelay(*s);
        plat_tcp_keepalive(*s);
    }
    return rc;
}
