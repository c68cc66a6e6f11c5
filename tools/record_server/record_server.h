// A PostgreSQL server of a test's, benchmark's or soak's own
// (scripts/record_server.sh): started in a folder of its own, which the
// server's user may enter, stopped and removed at the end. It may be stopped
// and started again in between, as a server that goes away.
#pragma once

#include <string>

namespace qx17::tools {

class RecordServer {
  public:
    RecordServer();  // started; std::runtime_error when it cannot be
    ~RecordServer();
    RecordServer(const RecordServer&) = delete;
    RecordServer& operator=(const RecordServer&) = delete;

    // The connection string of its role "line", password included.
    const std::string& Connection() const { return connection_; }
    void Halt();    // the server goes away; its data stay
    void Resume();  // and comes back on the same port

  private:
    void Run(const std::string& action);
    std::string folder_;
    std::string connection_;
};

}  // namespace qx17::tools
