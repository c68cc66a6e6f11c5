// Why the shared record could not be used, told so that a factory's
// engineer knows what to do: the server could not be reached, or it
// answered and refused (with the grant that is missing), or the record is
// set up wrongly on this computer (a data source that is not there).
#pragma once

#include <stdexcept>
#include <string>

namespace qx17::ctl {

namespace odbc {
class Error;
}

enum class RecordFailure {
    kUnreachable,  // no answer: the server or the network is away
    kRefused,      // the server answered and refused (a password, a grant, a version)
    kUsage,        // the connection names nothing usable, or the station runs elsewhere
};

// The record cannot be read or written now; what() says why in full.
class RecordUnavailable : public std::runtime_error {
  public:
    RecordUnavailable(const std::string& what, RecordFailure failure)
        : std::runtime_error(what), failure_(failure) {}
    RecordFailure Failure() const { return failure_; }

  private:
    RecordFailure failure_;
};

// `text` on one line: the driver's messages break theirs ("...failed:
// Connection timed out\n\tIs the server running..."); each break, with the
// blanks around it, becomes one blank.
std::string OneLine(const std::string& text);

// What the record needs of the role, by what a command does with it.
enum class RecordUse { kLine, kImport, kList };

// `error` as one sentence for the user ("the record cannot be reached: ...",
// "the server refused: ...; the role needs: GRANT ..."), and its kind.
// `role` is the role connected as, when known.
std::string DescribeRecordError(const odbc::Error& error, RecordUse use, const std::string& role,
                                RecordFailure& failure);

}  // namespace qx17::ctl
