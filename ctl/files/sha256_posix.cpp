#include <openssl/evp.h>

#include <stdexcept>

#include "ctl/files/sha256.h"

namespace qx17::ctl {

std::string Sha256Hex(std::string_view bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("SHA-256 could not be computed");
    }
    return HexOf(digest, length);
}

}  // namespace qx17::ctl
