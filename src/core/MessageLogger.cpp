#include "core/MessageLogger.h"

#include "stack/base/Log.h"

#include <boost/asio/post.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <system_error>
#include <vector>

namespace zel::sip {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kSent = "----->";
constexpr std::string_view kReceived = "<-----";
// One compression step reads this much; it bounds both the memory of a rotation and how long the
// writer waits behind one step.
constexpr std::size_t kCompressChunk = 1 << 20;
// After a failed rotation the next attempt waits until the trace has grown this much more, so a
// full disk does not start a 50 MiB compression after every record.
constexpr std::uint64_t kRetryGrowth = 1 << 20;
constexpr mode_t kPrivate = S_IRUSR | S_IWUSR;

fs::path WithSuffix(const fs::path& base, std::string_view suffix) {
    fs::path result = base;
    result += std::string(suffix);
    return result;
}

std::string ErrorText(int error) { return std::error_code(error, std::generic_category()).message(); }

std::string TimeStampLine(std::chrono::system_clock::time_point time) {
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
    std::string line(stamp.data(), static_cast<std::size_t>(length));
    line += "Z\r\n";
    return line;
}

std::string Notice(std::uint64_t count, std::string_view what) {
    std::string text = TimeStampLine(std::chrono::system_clock::now());
    text += "*** ";
    text += std::to_string(count);
    text += count == 1 ? " message " : " messages ";
    text += what;
    text += " ***\r\n\r\n";
    return text;
}

/// Writes all of the bytes at the descriptor's position. Returns 0 or the errno of the failure.
int WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return 0;
}

/// Opens for writing with mode 0600; an existing file loses any group and other permissions, as
/// trace records carry credentials. Returns the descriptor or -1 with errno set.
int OpenPrivate(const fs::path& path, int flags) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | flags, kPrivate);
    if (fd < 0)
        return -1;
    struct stat status {};
    // Only a regular file is ours to change: the path may name a device such as /dev/null.
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && (status.st_mode & (S_IRWXG | S_IRWXO)) != 0 &&
        ::fchmod(fd, status.st_mode & S_IRWXU) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

} // namespace

struct MessageLogger::State {
    State(boost::asio::io_context& context, fs::path tracePath, Limits bounds)
        : strand(boost::asio::make_strand(context)), path(std::move(tracePath)),
          base(path.parent_path() / path.stem()), extension(path.extension().string()), limits(bounds) {}
    ~State();

    // A rotation in progress: the first `length` bytes of the trace file go into the pending archive.
    struct Compression {
        int input = -1;
        gzFile output = nullptr;
        std::uint64_t length = 0;
        std::uint64_t done = 0;
        std::vector<char> chunk;
    };

    boost::asio::strand<boost::asio::io_context::executor_type> strand;
    const fs::path path;
    const fs::path base;
    const std::string extension;
    const Limits limits;

    // The backlog, filled by any thread and emptied by the strand.
    std::mutex mutex;
    std::vector<std::string> backlog;
    std::size_t backlogBytes = 0;
    std::uint64_t droppedSinceDrain = 0;
    bool drainPosted = false;

    std::atomic<std::uint64_t> droppedTotal{0};
    std::atomic<std::uint64_t> lostTotal{0};

    // Everything below is touched on the strand only.
    int fd = -1;
    bool regular = false;
    std::uint64_t size = 0;
    bool failing = false;
    std::uint64_t droppedUnnoticed = 0;
    std::uint64_t lostUnnoticed = 0;
    std::uint64_t retryAt = 0;
    std::unique_ptr<Compression> compression;

    fs::path Archive(int n) const { return WithSuffix(base, "." + std::to_string(n) + extension + ".gz"); }
    fs::path Old() const { return WithSuffix(base, ".old" + extension); }
    fs::path Pending() const { return WithSuffix(Archive(0), ".partial"); }
    fs::path Rest() const { return WithSuffix(path, ".rest"); }

    static void Drain(const std::shared_ptr<State>& self);
    static void CompressStep(const std::shared_ptr<State>& self);

    void WriteRecord(const std::string& record);
    bool WriteNotices();
    bool Append(std::string_view bytes);
    bool Open();
    void Failed(std::string_view what, int error);
    void Resumed();

    void RotateIfDue(const std::shared_ptr<State>& self);
    void AbandonRotation(std::string_view what, int error, bool removePending);
    bool ShiftArchives();
    void CutTrace();
    void CloseTrace();
};

MessageLogger::State::~State() {
    CloseTrace();
    if (compression) {
        ::close(compression->input);
        if (compression->output != nullptr) {
            gzclose(compression->output);
            std::error_code ignored;
            fs::remove(Pending(), ignored);
        }
    }
}

MessageLogger::MessageLogger(boost::asio::io_context& context, std::string path)
    : MessageLogger(context, std::move(path), Limits{}) {}

MessageLogger::MessageLogger(boost::asio::io_context& context, std::string path, Limits limits)
    : state_(std::make_shared<State>(context, fs::path(std::move(path)), limits)) {}

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
    auto record = FormatRecordHeader(std::chrono::system_clock::now(), marker, local, remote);
    record.reserve(record.size() + wire.size() + 2);
    record += wire;
    record += "\r\n";

    State& state = *state_;
    bool post = false;
    {
        std::lock_guard lock(state.mutex);
        if (state.backlog.size() >= state.limits.backlogRecords ||
            record.size() > state.limits.backlogBytes - std::min(state.backlogBytes, state.limits.backlogBytes)) {
            ++state.droppedSinceDrain;
            state.droppedTotal.fetch_add(1, std::memory_order_relaxed);
        } else {
            state.backlogBytes += record.size();
            state.backlog.push_back(std::move(record));
        }
        // A drop alone also needs a drain, which writes the notice.
        post = !state.drainPosted;
        state.drainPosted = true;
    }
    if (post)
        boost::asio::post(state.strand, [self = state_] { State::Drain(self); });
}

MessageLogger::Losses MessageLogger::Lost() const {
    return {state_->droppedTotal.load(std::memory_order_relaxed), state_->lostTotal.load(std::memory_order_relaxed)};
}

std::string MessageLogger::FormatRecordHeader(std::chrono::system_clock::time_point time, std::string_view marker,
                                              const stack::Tuple& local, const stack::Tuple& remote) {
    std::string header = TimeStampLine(time);
    header += stack::ToString(local);
    header += ' ';
    header += marker;
    header += ' ';
    header += stack::ToString(remote);
    header += "\r\n";
    return header;
}

fs::path MessageLogger::ArchivePath(const fs::path& tracePath, int n) {
    return WithSuffix(tracePath.parent_path() / tracePath.stem(),
                      "." + std::to_string(n) + tracePath.extension().string() + ".gz");
}

void MessageLogger::State::Drain(const std::shared_ptr<State>& self) {
    std::vector<std::string> batch;
    std::uint64_t dropped = 0;
    {
        std::lock_guard lock(self->mutex);
        batch.swap(self->backlog);
        self->backlogBytes = 0;
        dropped = self->droppedSinceDrain;
        self->droppedSinceDrain = 0;
        self->drainPosted = false;
    }
    for (const auto& record : batch) {
        self->WriteRecord(record);
        self->RotateIfDue(self);
    }
    // Records were dropped while this batch waited, so the notice follows it.
    self->droppedUnnoticed += dropped;
    self->WriteNotices();
}

void MessageLogger::State::WriteRecord(const std::string& record) {
    if (!WriteNotices() || !Append(record)) {
        ++lostUnnoticed;
        lostTotal.fetch_add(1, std::memory_order_relaxed);
    }
}

bool MessageLogger::State::WriteNotices() {
    if (droppedUnnoticed > 0) {
        if (!Append(Notice(droppedUnnoticed, "dropped: the trace backlog was full")))
            return false;
        droppedUnnoticed = 0;
    }
    if (lostUnnoticed > 0) {
        if (!Append(Notice(lostUnnoticed, "lost: the trace file could not be written")))
            return false;
        lostUnnoticed = 0;
    }
    return true;
}

bool MessageLogger::State::Append(std::string_view bytes) {
    if (fd < 0 && !Open())
        return false;
    if (const int error = WriteAll(fd, bytes); error != 0) {
        // Cut off what part of the record did get written (a full disk, a file size limit), so the
        // trace holds whole records only.
        if (regular && ::ftruncate(fd, static_cast<off_t>(size)) != 0) {
            // Then a broken record stays; the notice that follows it still counts it as lost.
        }
        Failed("cannot write", error);
        return false;
    }
    size += bytes.size();
    Resumed();
    return true;
}

bool MessageLogger::State::Open() {
    fd = OpenPrivate(path, O_APPEND);
    if (fd < 0) {
        Failed("cannot open", errno);
        return false;
    }
    struct stat status {};
    regular = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    size = regular ? static_cast<std::uint64_t>(status.st_size) : 0;
    return true;
}

void MessageLogger::State::Failed(std::string_view what, int error) {
    if (failing)
        return;
    failing = true;
    ZEL_LOG(Err, "SIP trace {}: {}: {}; records are counted as lost until writing succeeds again", path.string(),
            what, ErrorText(error));
}

void MessageLogger::State::Resumed() {
    if (!failing)
        return;
    failing = false;
    ZEL_LOG(Warning, "SIP trace {}: writing again", path.string());
}

void MessageLogger::State::CloseTrace() {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

void MessageLogger::State::RotateIfDue(const std::shared_ptr<State>& self) {
    if (fd < 0 || !regular || compression || size < kRotationSize || size < retryAt)
        return;
    std::error_code ignored;
    fs::remove(Old(), ignored);

    // Compress first: until the new archive is complete, nothing else changes.
    auto next = std::make_unique<Compression>();
    next->length = size;
    next->input = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (next->input < 0)
        return AbandonRotation("cannot read the trace file to rotate it", errno, false);
    compression = std::move(next);
    const int output = OpenPrivate(Pending(), O_TRUNC);
    if (output < 0)
        return AbandonRotation("cannot create the archive", errno, false);
    compression->output = gzdopen(output, "wb");
    if (compression->output == nullptr) {
        ::close(output);
        return AbandonRotation("cannot start compressing", ENOMEM, true);
    }
    compression->chunk.resize(kCompressChunk);
    boost::asio::post(strand, [self] { CompressStep(self); });
}

void MessageLogger::State::AbandonRotation(std::string_view what, int error, bool removePending) {
    ZEL_LOG(Err, "SIP trace {}: rotation abandoned, the trace file is kept whole: {}: {}", path.string(), what,
            ErrorText(error));
    if (compression) {
        if (compression->input >= 0)
            ::close(compression->input);
        if (compression->output != nullptr)
            gzclose(compression->output);
        compression.reset();
    }
    if (removePending) {
        std::error_code ignored;
        fs::remove(Pending(), ignored);
    }
    retryAt = size + kRetryGrowth;
}

void MessageLogger::State::CompressStep(const std::shared_ptr<State>& self) {
    if (!self->compression)
        return;
    Compression& job = *self->compression;
    const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(job.chunk.size(), job.length - job.done));
    const ssize_t got = ::pread(job.input, job.chunk.data(), wanted, static_cast<off_t>(job.done));
    if (got <= 0) {
        // Nothing read before the recorded length means the file was cut behind our back.
        return self->AbandonRotation("cannot read the trace file", got < 0 ? errno : EIO, true);
    }
    if (gzwrite(job.output, job.chunk.data(), static_cast<unsigned>(got)) != static_cast<int>(got)) {
        int error = 0;
        gzerror(job.output, &error);
        return self->AbandonRotation("cannot write the archive", error == Z_ERRNO ? errno : EIO, true);
    }
    job.done += static_cast<std::uint64_t>(got);
    if (job.done < job.length) {
        // Records queued meanwhile are written before the next step.
        boost::asio::post(self->strand, [self] { CompressStep(self); });
        return;
    }

    // gzclose flushes the last block and the trailer; its failure leaves the archive incomplete.
    const int closed = gzclose(job.output);
    job.output = nullptr;
    if (closed != Z_OK)
        return self->AbandonRotation("cannot complete the archive", closed == Z_ERRNO ? errno : EIO, true);
    if (!self->ShiftArchives()) {
        // The complete archive stays under its pending name and the trace file stays whole; the
        // next rotation compresses the trace again over it, so nothing is lost or overwritten.
        return self->AbandonRotation("cannot shift the archives", errno, false);
    }
    if (::rename(self->Pending().c_str(), self->Archive(0).c_str()) != 0)
        return self->AbandonRotation("cannot put the new archive in place", errno, false);
    self->CutTrace();
    ::close(job.input);
    self->compression.reset();
}

bool MessageLogger::State::ShiftArchives() {
    // Archives move up into the lowest free slot, so a gap left by an interrupted shift is filled
    // rather than the oldest archive being retired early. Only when all slots are taken is the
    // oldest removed. Each step is checked, and a failure stops the shift where it is: every
    // archive is then still under one name.
    const auto occupied = [](const fs::path& archive) {
        std::error_code error;
        const auto status = fs::symlink_status(archive, error);
        return status.type() != fs::file_type::not_found;
    };
    int slot = -1;
    for (int n = 0; n < kArchiveCount && slot < 0; ++n)
        if (!occupied(Archive(n)))
            slot = n;
    if (slot < 0) {
        std::error_code error;
        if (!fs::remove(Archive(kArchiveCount - 1), error) || error) {
            errno = error ? error.value() : ENOENT;
            return false;
        }
        slot = kArchiveCount - 1;
    }
    for (int n = slot; n >= 1; --n)
        if (::rename(Archive(n - 1).c_str(), Archive(n).c_str()) != 0)
            return false;
    return true;
}

void MessageLogger::State::CutTrace() {
    Compression& job = *compression;
    const std::uint64_t rest = size - job.length;
    if (rest == 0) {
        CloseTrace();
        if (::unlink(path.c_str()) != 0 && errno != ENOENT)
            ZEL_LOG(Err, "SIP trace {}: cannot remove the archived trace file: {}", path.string(), ErrorText(errno));
        // Reopened (and created) by the next record.
        return;
    }
    // Records written during the compression move to a fresh file that then takes the trace's name.
    const fs::path restPath = Rest();
    const int restFd = OpenPrivate(restPath, O_TRUNC | O_APPEND);
    int error = restFd < 0 ? errno : 0;
    for (std::uint64_t offset = job.length; error == 0 && offset < size;) {
        const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(job.chunk.size(), size - offset));
        const ssize_t got = ::pread(job.input, job.chunk.data(), wanted, static_cast<off_t>(offset));
        if (got <= 0) {
            error = got < 0 ? errno : EIO;
            break;
        }
        error = WriteAll(restFd, {job.chunk.data(), static_cast<std::size_t>(got)});
        offset += static_cast<std::uint64_t>(got);
    }
    if (error == 0 && ::rename(restPath.c_str(), path.c_str()) != 0)
        error = errno;
    if (error != 0) {
        if (restFd >= 0)
            ::close(restFd);
        std::error_code ignored;
        fs::remove(restPath, ignored);
        // Archive 0 is in place, so the whole trace stays too: its start is then in both.
        ZEL_LOG(Err, "SIP trace {}: cannot cut the archived part from the trace file: {}", path.string(),
                ErrorText(error));
        retryAt = size + kRetryGrowth;
        return;
    }
    CloseTrace();
    fd = restFd;
    size = rest;
}

} // namespace zel::sip
