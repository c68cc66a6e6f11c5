// The SHA-256 of some bytes, as 64 lower-case hex digits: how a profile is
// named in the record and on the board. One implementation per platform
// (OpenSSL's libcrypto; Windows' CNG).
#pragma once

#include <string>
#include <string_view>

namespace qx17::ctl {

std::string Sha256Hex(std::string_view bytes);

}  // namespace qx17::ctl
