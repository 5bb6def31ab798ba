// The stub: the port named "STUB" exactly (STUB1 is a device). It takes
// every call and sends and receives nothing; holding nothing open, it
// leaves its slot free.
#include <string.h>

#include "kinds.h"

static int stub_claims(const char* name)
{
    return strcmp(name, "STUB") == 0;
}

static int stub_open(Entry* e, char*, int*)
{
    e->kind = KIND_STUB;
    return 0;
}

// Its slot stays free, yet answers while its ring is there.
static int stub_answers_free(const Entry*)
{
    return 1;
}

// Nothing but its name: every operation answers as for a port without it.
const port_kind stub_kind = {KIND_STUB, stub_claims, stub_open, stub_answers_free};
