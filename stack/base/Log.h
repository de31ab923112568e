#pragma once

#include <spdlog/logger.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace zel::sip::stack::log {

/// Where the stack's log goes.
///
/// | text     | destination                                  |
/// |----------|----------------------------------------------|
/// | "COUT"   | standard output                              |
/// | "CERR"   | standard error                               |
/// | "FILE"   | the log file, capped in size (see Settings)  |
/// | "SYSLOG" | syslog(3) with the given facility            |
/// | "NONE"   | nowhere                                      |
enum class Type { Cout, Cerr, File, Syslog, None };

/// How much the stack logs, from quiet to verbose:
/// "NONE", "CRIT", "ERR", "WARNING", "INFO", "DEBUG", "STACK" (every message and state change).
enum class Level { None, Crit, Err, Warning, Info, Debug, Stack };

/// Texts are read without regard to case. Unknown texts raise std::invalid_argument naming the text
/// and the accepted ones.
Type ParseType(std::string_view text);
Level ParseLevel(std::string_view text);
/// "LOG_DAEMON", "LOG_USER", "LOG_LOCAL0" to "LOG_LOCAL7" and the other facilities of syslog(3).
int ParseSyslogFacility(std::string_view text);

struct Settings {
    Type type = Type::Cout;
    Level level = Level::Warning;
    /// Prefixed to every line and used as the syslog identity.
    std::string applicationName;
    /// Required for Type::File.
    std::string filePath;
    int syslogFacility = 0;
    /// A log file that reaches this size is rolled over to "<stem>.1<ext>"; 0 means no cap.
    std::uint64_t maxFileBytes = 0;
    /// Keep the rolled-over files ("<stem>.1<ext>", "<stem>.2<ext>", ..., up to 1,000) instead of only the last one.
    bool keepAllFiles = false;
};

/// Sets the process-wide stack log up, replacing any earlier set-up. Raises std::invalid_argument for
/// inconsistent settings (a file log without a path) and spdlog's error when the file cannot be opened.
void Initialize(const Settings& settings);

/// The text form used by the user agent: type, level, application name, log file and syslog facility
/// as texts. Raises like the parsers above and Initialize.
void Initialize(std::string_view type, std::string_view level, std::string_view applicationName,
                std::string_view filePath, std::string_view syslogFacility, std::uint64_t maxFileBytes,
                bool keepAllFiles);

/// Whether a line of this level would be written; a cheap check for hot paths.
bool Enabled(Level level) noexcept;

/// The stack's logger. Before any set-up it logs warnings and worse to standard error.
/// Safe to call from any thread.
std::shared_ptr<spdlog::logger> Logger();

} // namespace zel::sip::stack::log

/// Logs through the stack's logger when the level is enabled; the arguments are not evaluated otherwise.
/// Example: ZEL_LOG(Debug, "received {} bytes from {}", size, peer);
#define ZEL_LOG(level, ...)                                                                    \
    do {                                                                                       \
        if (::zel::sip::stack::log::Enabled(::zel::sip::stack::log::Level::level))             \
            ::zel::sip::stack::log::Write(::zel::sip::stack::log::Level::level, __VA_ARGS__); \
    } while (false)

namespace zel::sip::stack::log {

spdlog::level::level_enum ToSpdlog(Level level) noexcept;

template <typename... Args>
void Write(Level level, spdlog::format_string_t<Args...> format, Args&&... args) {
    Logger()->log(ToSpdlog(level), format, std::forward<Args>(args)...);
}

} // namespace zel::sip::stack::log
