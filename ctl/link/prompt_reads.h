// How qx17ctl's port hands on what it receives: as soon as it can, since
// frames are put together from the chunks anyway and where a chunk ends does
// not matter; a reply is then taken the moment it is whole. One
// implementation per platform (prompt_reads_*.cpp).
#pragma once

namespace qx17 {
class TComm;
}

namespace qx17::ctl {

// Sets the read time-outs of `comm`, before it is opened.
void ReadAsBytesArrive(TComm& comm);

}  // namespace qx17::ctl
