// Linux: the system's SHA-256, OpenSSL's libcrypto.
#include <openssl/err.h>
#include <openssl/evp.h>

#include <cerrno>

#include "platform/linux/linux.h"

namespace {
// OpenSSL's reason for its last failure; a failure it did not record (such
// as a context it could not allocate) reads as out of memory.
ErrorCode CryptoError() {
    unsigned long code = ERR_get_error();
    return code != 0 ? static_cast<ErrorCode>(ERR_GET_REASON(code)) : ENOMEM;
}

EVP_MD_CTX* ToContext(HashHandle hash) { return reinterpret_cast<EVP_MD_CTX*>(hash); }
}  // namespace

bool StartHash(HashHandle& hash, ErrorCode& error) {
    // EVP picks the CPU's SHA instructions where there are any.
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    if (context == nullptr || EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1) {
        error = CryptoError();
        EVP_MD_CTX_free(context);
        return false;
    }
    hash = reinterpret_cast<HashHandle>(context);
    return true;
}

bool HashBytes(HashHandle hash, const void* data, size_t length, ErrorCode& error) {
    if (EVP_DigestUpdate(ToContext(hash), data, length) == 1) return true;
    error = CryptoError();
    return false;
}

bool FinishHash(HashHandle hash, uint8_t (&digest)[DIGEST_BYTES], ErrorCode& error) {
    unsigned int length = 0;
    bool done = EVP_DigestFinal_ex(ToContext(hash), digest, &length) == 1 && length == DIGEST_BYTES;
    if (!done) error = CryptoError();
    EVP_MD_CTX_free(ToContext(hash));
    return done;
}

void DropHash(HashHandle hash) { EVP_MD_CTX_free(ToContext(hash)); }
