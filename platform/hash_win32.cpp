// Windows: SHA-256 by the system's BCrypt.
#include "platform.h"

#include <windows.h>

#include <bcrypt.h>

int plat_sha256(const void* data, unsigned long n, unsigned char out[PLAT_SHA256_SIZE])
{
    // Opened once: opening the provider costs more than hashing a record.
    static BCRYPT_ALG_HANDLE alg;
    if (!alg && BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) {
        alg = nullptr;
        return ERROR_NOT_SUPPORTED;
    }
    BCRYPT_HASH_HANDLE h = nullptr;
    NTSTATUS st = BCryptCreateHash(alg, &h, nullptr, 0, nullptr, 0, 0);
    if (st == 0)
        st = BCryptHashData(h, (PUCHAR)data, (ULONG)n, 0);
    if (st == 0)
        st = BCryptFinishHash(h, out, PLAT_SHA256_SIZE, 0);
    if (h)
        BCryptDestroyHash(h);
    return st == 0 ? 0 : ERROR_INVALID_DATA;
}
