#pragma once

#include "stack/transport/MessageLoggingHandler.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/strand.hpp>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace zel::sip {

/// Writes every SIP message sent or received to a trace file and rotates it into at most ten gzip
/// archives once it reaches 50 MiB.
///
/// Transport threads only copy the record and post it to a strand of the I/O context; all file work
/// runs on the I/O context's thread, one record at a time, in posting order. The file is opened and
/// closed for every record, so it may be moved away between records.
///
/// Record layout (CR LF line ends):
///
///     2026-Dec-05 13:42:22.500000Z
///     192.0.2.10:5060 UDP -----> 198.51.100.7:5060 UDP
///     <the message exactly as on the wire>
///     <CR LF>
///
/// Archives are named `<base>.<n><extension>.gz` with n from 0 (newest) to 9 (oldest), where base is
/// the path without its extension. A rotation compresses the trace file into a temporary archive
/// first and shifts the older archives only once that archive is complete, so a failed compression
/// (a full disk, say) loses neither the trace file nor any archive.
class MessageLogger final : public stack::MessageLoggingHandler {
public:
    /// Rotation threshold: 50 MiB.
    static constexpr std::uintmax_t kRotationSize = 52428800;
    /// Archives kept after a rotation.
    static constexpr int kArchiveCount = 10;

    /// Nothing is opened or created here. The I/O context must outlive the logger; records still
    /// queued when the context is destroyed are discarded.
    MessageLogger(boost::asio::io_context& context, std::string path);

    void outboundMessage(const stack::Tuple& source, const stack::Tuple& destination,
                         std::string_view wire) override;
    void inboundMessage(const stack::Tuple& source, const stack::Tuple& destination,
                        std::string_view wire) override;

    /// Copies the record and posts it; returns at once.
    void Log(std::string_view marker, const stack::Tuple& local, const stack::Tuple& remote,
             std::string_view wire) const;

    /// The header lines of a record: time stamp line and endpoints line, CR LF after each.
    static std::string FormatRecordHeader(std::chrono::system_clock::time_point time, std::string_view marker,
                                          const stack::Tuple& local, const stack::Tuple& remote);

    /// `<base>.<n><extension>.gz` for the given trace file path.
    static std::filesystem::path ArchivePath(const std::filesystem::path& tracePath, int n);

private:
    struct Files;

    boost::asio::strand<boost::asio::io_context::executor_type> strand_;
    // Shared with every posted task, so a task that runs after the logger is gone stays safe.
    std::shared_ptr<const Files> files_;
};

} // namespace zel::sip
