// The Windows pieces of file_io that other durable files build on too
// (qx17ctl's log): whole writes and the last error as a text. No
// <windows.h> here: a HANDLE is a void*.
#pragma once

#include <string>
#include <string_view>

namespace qx17 {

// Writes all of `content` to the file `handle`; false on an error.
bool WriteWholeTo(void* handle, std::string_view content);

// "system error N" for the calling thread's last error.
std::string LastSystemError();

}  // namespace qx17
