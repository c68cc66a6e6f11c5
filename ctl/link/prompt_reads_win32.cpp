#include "ctl/link/prompt_reads.h"

#include "serial/tcomm.h"

namespace qx17::ctl {

void ReadAsBytesArrive(TComm& comm) {
    // A read ends 1 ms after the last byte that came: at 9600 bit/s about one
    // byte time. (The comm API's "any byte at once" form, MAXDWORD twice, is
    // not kept by every implementation: under Wine the tracker's read reply
    // never came through with it.)
    comm.SetReadIntervalTimeout(1);
}

}  // namespace qx17::ctl
