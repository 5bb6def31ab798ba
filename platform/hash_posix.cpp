// POSIX: SHA-256 by libcrypto, the system's maintained implementation.
#include "platform.h"

#include <errno.h>
#include <openssl/evp.h>

int plat_sha256(const void* data, unsigned long n, unsigned char out[PLAT_SHA256_SIZE])
{
    unsigned int size = 0;
    if (EVP_Digest(data, n, out, &size, EVP_sha256(), nullptr) != 1 || size != PLAT_SHA256_SIZE)
        return EIO;
    return 0;
}
