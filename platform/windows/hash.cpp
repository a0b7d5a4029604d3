// Windows: the system's SHA-256, CNG.
#include "platform/windows/windows.h"

// After windows.h, whose types they take.
#include <bcrypt.h>
#include <winternl.h>

namespace {
// A CNG hash and the provider it came from, both closed at its end.
struct CngHash {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
};

CngHash* ToHash(HashHandle hash) { return reinterpret_cast<CngHash*>(hash); }

// CNG reports an NTSTATUS; the line shows the Win32 code it stands for, as
// every other line does. RtlNtStatusToDosError has no import library: it
// is found in the ntdll every process has loaded. Where it cannot be, the
// status itself is shown.
ErrorCode FromStatus(NTSTATUS status) {
    using Convert = ULONG(WINAPI*)(NTSTATUS);
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    auto convert = ntdll != nullptr ? reinterpret_cast<Convert>(reinterpret_cast<void*>(
                                          GetProcAddress(ntdll, "RtlNtStatusToDosError")))
                                    : nullptr;
    return convert != nullptr ? convert(status) : static_cast<ErrorCode>(status);
}
}  // namespace

bool StartHash(HashHandle& hash, ErrorCode& error) {
    auto* cng = new CngHash;
    NTSTATUS status = BCryptOpenAlgorithmProvider(&cng->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    // With no object buffer given, CNG keeps the hash object itself.
    if (BCRYPT_SUCCESS(status)) status = BCryptCreateHash(cng->algorithm, &cng->hash, nullptr, 0, nullptr, 0, 0);
    if (!BCRYPT_SUCCESS(status)) {
        error = FromStatus(status);
        DropHash(reinterpret_cast<HashHandle>(cng));
        return false;
    }
    hash = reinterpret_cast<HashHandle>(cng);
    return true;
}

bool HashBytes(HashHandle hash, const void* data, size_t length, ErrorCode& error) {
    NTSTATUS status = BCryptHashData(ToHash(hash)->hash, static_cast<PUCHAR>(const_cast<void*>(data)),
                                     static_cast<ULONG>(length), 0);
    if (BCRYPT_SUCCESS(status)) return true;
    error = FromStatus(status);
    return false;
}

bool FinishHash(HashHandle hash, uint8_t (&digest)[DIGEST_BYTES], ErrorCode& error) {
    NTSTATUS status = BCryptFinishHash(ToHash(hash)->hash, digest, DIGEST_BYTES, 0);
    if (!BCRYPT_SUCCESS(status)) error = FromStatus(status);
    DropHash(hash);
    return BCRYPT_SUCCESS(status);
}

void DropHash(HashHandle hash) {
    CngHash* cng = ToHash(hash);
    if (cng->hash != nullptr) BCryptDestroyHash(cng->hash);
    if (cng->algorithm != nullptr) BCryptCloseAlgorithmProvider(cng->algorithm, 0);
    delete cng;
}
