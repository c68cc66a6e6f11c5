#include "ctl/link/prompt_reads.h"

#include "serial/tcomm.h"

namespace qx17::ctl {

void ReadAsBytesArrive(TComm& comm) {
    // ReadIntervalTimeout and ReadTotalTimeoutMultiplier both MAXDWORD: a
    // read returns as soon as there is a byte, waiting for the first at most
    // ReadTotalTimeoutConstant, then is issued again. The POSIX backend
    // keeps this meaning of the comm API.
    constexpr std::uint32_t kAnyByte = 0xFFFFFFFF;
    comm.SetReadIntervalTimeout(kAnyByte);
    comm.SetReadTotalTimeoutMultiplier(kAnyByte);
    comm.SetReadTotalTimeoutConstant(100);
}

}  // namespace qx17::ctl
