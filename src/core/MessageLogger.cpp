#include "core/MessageLogger.h"

#include <boost/asio/post.hpp>

#include <zlib.h>

#include <array>
#include <cstdio>
#include <ctime>
#include <system_error>
#include <vector>

namespace zel::sip {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kSent = "----->";
constexpr std::string_view kReceived = "<-----";
constexpr std::size_t kCompressChunk = 1 << 20;

/// Closes a stdio file on scope exit.
struct FileCloser {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

fs::path WithSuffix(const fs::path& base, std::string_view suffix) {
    fs::path result = base;
    result += std::string(suffix);
    return result;
}

} // namespace

struct MessageLogger::Files {
    fs::path path;
    fs::path base;
    std::string extension;

    fs::path Archive(int n) const { return WithSuffix(base, "." + std::to_string(n) + extension + ".gz"); }
    fs::path Old() const { return WithSuffix(base, ".old" + extension); }

    void Write(const std::string& header, const std::string& wire) const;
    void RotateIfDue() const;
    bool Compress(const fs::path& target) const;
};

MessageLogger::MessageLogger(boost::asio::io_context& context, std::string path)
    : strand_(boost::asio::make_strand(context)) {
    auto files = std::make_shared<Files>();
    files->path = fs::path(std::move(path));
    files->base = files->path.parent_path() / files->path.stem();
    files->extension = files->path.extension().string();
    files_ = std::move(files);
}

void MessageLogger::outboundMessage(const stack::Tuple& source, const stack::Tuple& destination,
                                    std::string_view wire) {
    Log(kSent, source, destination, wire);
}

void MessageLogger::inboundMessage(const stack::Tuple& source, const stack::Tuple& destination,
                                   std::string_view wire) {
    // The local side always stands on the left of the marker.
    Log(kReceived, destination, source, wire);
}

void MessageLogger::Log(std::string_view marker, const stack::Tuple& local, const stack::Tuple& remote,
                        std::string_view wire) const {
    auto header = FormatRecordHeader(std::chrono::system_clock::now(), marker, local, remote);
    boost::asio::post(strand_, [files = files_, header = std::move(header), message = std::string(wire)] {
        files->Write(header, message);
    });
}

std::string MessageLogger::FormatRecordHeader(std::chrono::system_clock::time_point time, std::string_view marker,
                                              const stack::Tuple& local, const stack::Tuple& remote) {
    static constexpr std::array<const char*, 12> kMonths{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const auto micros = std::chrono::time_point_cast<std::chrono::microseconds>(time);
    const auto seconds = std::chrono::floor<std::chrono::seconds>(micros);
    const auto fraction = (micros - seconds).count();
    const std::time_t whole = std::chrono::system_clock::to_time_t(seconds);
    std::tm utc{};
    gmtime_r(&whole, &utc);

    std::array<char, 64> stamp{};
    int length = std::snprintf(stamp.data(), stamp.size(), "%04d-%s-%02d %02d:%02d:%02d", utc.tm_year + 1900,
                               kMonths[static_cast<std::size_t>(utc.tm_mon)], utc.tm_mday, utc.tm_hour,
                               utc.tm_min, utc.tm_sec);
    if (fraction != 0)
        length += std::snprintf(stamp.data() + length, stamp.size() - static_cast<std::size_t>(length), ".%06lld",
                                static_cast<long long>(fraction));

    std::string header(stamp.data(), static_cast<std::size_t>(length));
    header += "Z\r\n";
    header += stack::ToString(local);
    header += ' ';
    header += marker;
    header += ' ';
    header += stack::ToString(remote);
    header += "\r\n";
    return header;
}

fs::path MessageLogger::ArchivePath(const fs::path& tracePath, int n) {
    Files files;
    files.base = tracePath.parent_path() / tracePath.stem();
    files.extension = tracePath.extension().string();
    return files.Archive(n);
}

void MessageLogger::Files::Write(const std::string& header, const std::string& wire) const {
    {
        File file(std::fopen(path.c_str(), "ab"));
        if (!file)
            return;  // an unwritable trace file costs the record, never the message flow
        std::fwrite(header.data(), 1, header.size(), file.get());
        std::fwrite(wire.data(), 1, wire.size(), file.get());
        std::fwrite("\r\n", 1, 2, file.get());
    }
    try {
        RotateIfDue();
    } catch (const fs::filesystem_error&) {
        // The record is written; the size stays above the threshold, so the next record tries again.
    }
}

void MessageLogger::Files::RotateIfDue() const {
    if (fs::file_size(path) < kRotationSize)
        return;
    fs::remove(Old());

    // Compress first: until the new archive is complete, nothing else changes.
    const fs::path pending = WithSuffix(Archive(0), ".partial");
    if (!Compress(pending)) {
        std::error_code ignored;
        fs::remove(pending, ignored);
        return;
    }
    fs::remove(Archive(kArchiveCount - 1));
    for (int n = kArchiveCount - 1; n >= 1; --n)
        if (fs::exists(Archive(n - 1)))
            fs::rename(Archive(n - 1), Archive(n));
    fs::rename(pending, Archive(0));
    fs::remove(path);
}

bool MessageLogger::Files::Compress(const fs::path& target) const {
    File input(std::fopen(path.c_str(), "rb"));
    if (!input)
        return false;
    gzFile output = gzopen(target.c_str(), "wb");
    if (output == nullptr)
        return false;
    std::vector<char> chunk(kCompressChunk);
    bool complete = true;
    for (;;) {
        const std::size_t read = std::fread(chunk.data(), 1, chunk.size(), input.get());
        if (read > 0 && gzwrite(output, chunk.data(), static_cast<unsigned>(read)) != static_cast<int>(read)) {
            complete = false;
            break;
        }
        if (read < chunk.size()) {
            complete = std::ferror(input.get()) == 0;
            break;
        }
    }
    // gzclose flushes the last block and the trailer; its failure leaves the archive incomplete.
    if (gzclose(output) != Z_OK)
        complete = false;
    return complete;
}

} // namespace zel::sip
