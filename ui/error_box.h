// The standard handling of an error that no handler caught.
#pragma once

#include <string>
#include <string_view>

namespace qx17 {

// The application title from the program file's name: no folder, nothing
// from the first full stop on, every letter after the first in lower case
// and the first as it stands ("/usr/bin/qx17eep" gives "qx17eep",
// "C:\Tools\QX17EEP.EXE" gives "Qx17eep").
std::string ApplicationTitle(std::string_view program_path);

// The error box's text: the message, with a full stop appended when its last
// character sorts after the full stop ("Error opening serial port." but
// "Readlly!" and "... handle " unchanged).
std::string ErrorBoxText(std::string_view message);

}  // namespace qx17
