#pragma once

#include "stack/transport/MessageLoggingHandler.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/strand.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace zel::sip {

/// Writes every SIP message sent or received to a trace file and rotates it into at most ten gzip
/// archives once it reaches 50 MiB.
///
/// Transport threads format the record and append it to a bounded backlog; a task on a strand of
/// the I/O context writes the backlog out. When the backlog is full, records are dropped and
/// counted, and the trace says how many at the point where writing resumes. The trace file is kept
/// open between records and created with mode 0600, as are the archives: records carry
/// Authorization headers. A record that cannot be written whole is cut off again (on a regular
/// file), counted as lost, and the trace says how many were lost once writing succeeds again; the
/// first failure of such an episode is reported to the stack log.
///
/// Record layout (CR LF line ends):
///
///     2026-Dec-05 13:42:22.500000Z
///     192.0.2.10:5060 UDP -----> 198.51.100.7:5060 UDP
///     <the message exactly as on the wire>
///     <CR LF>
///
/// A notice of records not written has the same time stamp line, then one line such as
/// `*** 7 messages dropped: the trace backlog was full ***`, then CR LF.
///
/// Archives are named `<base>.<n><extension>.gz` with n from 0 (newest) to 9 (oldest), where base is
/// the path without its extension. A rotation compresses the first 50 MiB of the trace file into
/// a temporary archive in 1 MiB steps on the strand, while records keep being appended behind it;
/// only once that archive is complete are the older archives shifted, the archive put in place and
/// the compressed part cut from the trace file. A failure at any step keeps the trace file whole,
/// so no record and no archive is lost.
class MessageLogger final : public stack::MessageLoggingHandler {
public:
    /// Rotation threshold: 50 MiB.
    static constexpr std::uintmax_t kRotationSize = 52428800;
    /// Archives kept after a rotation.
    static constexpr int kArchiveCount = 10;

    /// Bounds of the records waiting to be written; a record that would exceed either is dropped.
    struct Limits {
        std::size_t backlogBytes = 16 * 1024 * 1024;
        std::size_t backlogRecords = 20000;
    };

    /// Records that never reached the trace file since the logger was created.
    struct Losses {
        /// Dropped because the backlog was full.
        std::uint64_t dropped = 0;
        /// Lost because the trace file could not be opened or written.
        std::uint64_t lost = 0;
    };

    /// Nothing is opened or created here. The I/O context must outlive the logger; records still
    /// queued when the context is destroyed are discarded.
    MessageLogger(boost::asio::io_context& context, std::string path);
    /// As above, with other bounds for the backlog.
    MessageLogger(boost::asio::io_context& context, std::string path, Limits limits);

    void outboundMessage(const stack::Tuple& source, const stack::Tuple& destination,
                         std::string_view wire) override;
    void inboundMessage(const stack::Tuple& source, const stack::Tuple& destination,
                        std::string_view wire) override;

    /// Formats the record and queues it; returns at once. Any thread.
    void Log(std::string_view marker, const stack::Tuple& local, const stack::Tuple& remote,
             std::string_view wire) const;

    /// The counts so far. Any thread.
    Losses Lost() const;

    /// The header lines of a record: time stamp line and endpoints line, CR LF after each.
    static std::string FormatRecordHeader(std::chrono::system_clock::time_point time, std::string_view marker,
                                          const stack::Tuple& local, const stack::Tuple& remote);

    /// `<base>.<n><extension>.gz` for the given trace file path.
    static std::filesystem::path ArchivePath(const std::filesystem::path& tracePath, int n);

private:
    struct State;

    // Shared with every posted task, so a task that runs after the logger is gone stays safe.
    std::shared_ptr<State> state_;
};

} // namespace zel::sip
