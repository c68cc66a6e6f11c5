// The exit codes of qx17ctl, which scripts rely on.
#pragma once

namespace qx17::ctl {

inline constexpr int kExitDone = 0;
inline constexpr int kExitVerifyFailed = 1;   // the read-back differs from what was written
inline constexpr int kExitUsage = 2;          // bad usage or a bad profile
inline constexpr int kExitPort = 3;           // the port cannot be opened (or was lost)
inline constexpr int kExitTimeout = 4;        // the tracker did not answer in time
inline constexpr int kExitRefused = 5;        // the tracker refused a write
inline constexpr int kExitRecord = 6;         // the record (log, claims) cannot be written
inline constexpr int kExitError = 7;          // an unexpected error in the middle of a tracker
inline constexpr int kExitInterrupted = 130;  // stopped by Ctrl-C in the middle of an exchange

}  // namespace qx17::ctl
