#include <windows.h>
// after windows.h
#include <bcrypt.h>

#include <algorithm>
#include <stdexcept>

#include "ctl/files/sha256.h"

namespace qx17::ctl {

std::string Sha256Hex(std::string_view bytes) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    unsigned char digest[32];
    bool ok = BCRYPT_SUCCESS(
                  BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) &&
              BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
    // In pieces: the lengths are ULONG.
    for (std::size_t done = 0; ok && done < bytes.size();) {
        const ULONG piece = static_cast<ULONG>(std::min<std::size_t>(bytes.size() - done, 1 << 30));
        ok = BCRYPT_SUCCESS(BCryptHashData(
            hash, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data() + done)), piece, 0));
        done += piece;
    }
    ok = ok && BCRYPT_SUCCESS(BCryptFinishHash(hash, digest, sizeof digest, 0));
    if (hash) {
        BCryptDestroyHash(hash);
    }
    if (algorithm) {
        BCryptCloseAlgorithmProvider(algorithm, 0);
    }
    if (!ok) {
        throw std::runtime_error("SHA-256 could not be computed");
    }
    return HexOf(digest, sizeof digest);
}

}  // namespace qx17::ctl
