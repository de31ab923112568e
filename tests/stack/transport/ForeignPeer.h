#pragma once

#include "ChildProcess.h"
#include "TransportTestSupport.h"

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

namespace zel::sip::stack::test {

/// What a foreign peer program printed, and whether it got to one of its final lines.
struct ForeignRun {
    std::string output;
    bool finished = false;
};

/// True when Debian's python3 can run the peers in tests/tools (with the given module).
inline bool PythonHas(const std::string& module) {
    return std::system(("/usr/bin/python3 -c 'import " + module + "' >/dev/null 2>&1").c_str()) == 0;
}

/// tests/tools/<name>.
inline std::string ToolScript(const std::string& name) { return std::string(ZEL_SOURCE_DIR) + "/tests/tools/" + name; }

/// Runs a peer program while `io` serves it, until it prints "done", "refused", "failed" or a
/// Python traceback, or `limit` passes; the program is killed and reaped in every case.
inline ForeignRun RunForeignPeer(boost::asio::io_context& io, const std::vector<std::string>& arguments,
                                 std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    char pattern[] = "/tmp/zel-peer-XXXXXX";
    const int fd = mkstemp(pattern);
    close(fd);
    ForeignRun run;
    {
        ChildProcess peer(arguments, pattern);
        run.finished = RunUntil(
            io,
            [&] {
                const std::string out = peer.Output();
                for (const char* last : {"done", "refused", "failed", "Traceback"})
                    if (out.find(last) != std::string::npos)
                        return true;
                return false;
            },
            limit);
        run.output = peer.Output();
    }
    unlink(pattern);
    return run;
}

} // namespace zel::sip::stack::test
