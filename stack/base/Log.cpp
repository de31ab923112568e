#include "stack/base/Log.h"

#include <boost/algorithm/string/predicate.hpp>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/sinks/syslog_sink.h>

#include <syslog.h>

#include <array>
#include <atomic>
#include <mutex>
#include <stdexcept>
#include <utility>

namespace zel::sip::stack::log {

namespace {

template <typename Value, std::size_t N>
Value Lookup(const std::array<std::pair<std::string_view, Value>, N>& table, std::string_view text,
             std::string_view what) {
    for (const auto& [name, value] : table)
        if (boost::algorithm::iequals(name, text))
            return value;
    std::string accepted;
    for (const auto& [name, value] : table) {
        if (!accepted.empty())
            accepted += ", ";
        accepted += name;
    }
    throw std::invalid_argument("unknown " + std::string(what) + " '" + std::string(text) + "' (expected one of " +
                                accepted + ")");
}

constexpr std::array<std::pair<std::string_view, Type>, 5> kTypes{{
    {"COUT", Type::Cout}, {"CERR", Type::Cerr}, {"FILE", Type::File}, {"SYSLOG", Type::Syslog}, {"NONE", Type::None},
}};

constexpr std::array<std::pair<std::string_view, Level>, 7> kLevels{{
    {"NONE", Level::None}, {"CRIT", Level::Crit}, {"ERR", Level::Err}, {"WARNING", Level::Warning},
    {"INFO", Level::Info}, {"DEBUG", Level::Debug}, {"STACK", Level::Stack},
}};

constexpr std::array<std::pair<std::string_view, int>, 19> kFacilities{{
    {"LOG_AUTH", LOG_AUTH},     {"LOG_AUTHPRIV", LOG_AUTHPRIV}, {"LOG_CRON", LOG_CRON},
    {"LOG_DAEMON", LOG_DAEMON}, {"LOG_FTP", LOG_FTP},           {"LOG_KERN", LOG_KERN},
    {"LOG_LOCAL0", LOG_LOCAL0}, {"LOG_LOCAL1", LOG_LOCAL1},     {"LOG_LOCAL2", LOG_LOCAL2},
    {"LOG_LOCAL3", LOG_LOCAL3}, {"LOG_LOCAL4", LOG_LOCAL4},     {"LOG_LOCAL5", LOG_LOCAL5},
    {"LOG_LOCAL6", LOG_LOCAL6}, {"LOG_LOCAL7", LOG_LOCAL7},     {"LOG_LPR", LOG_LPR},
    {"LOG_MAIL", LOG_MAIL},     {"LOG_NEWS", LOG_NEWS},         {"LOG_SYSLOG", LOG_SYSLOG},
    {"LOG_USER", LOG_USER},
}};

std::atomic<int> gLevel{static_cast<int>(Level::Warning)};

} // namespace

spdlog::level::level_enum ToSpdlog(Level level) noexcept {
    switch (level) {
    case Level::None: return spdlog::level::off;
    case Level::Crit: return spdlog::level::critical;
    case Level::Err: return spdlog::level::err;
    case Level::Warning: return spdlog::level::warn;
    case Level::Info: return spdlog::level::info;
    case Level::Debug: return spdlog::level::debug;
    case Level::Stack: return spdlog::level::trace;
    }
    return spdlog::level::warn;
}

namespace {

// "Keep all" keeps this many rolled-over files: each roll-over renames every kept file, so the
// number is bounded to keep a roll-over cheap (1,000 files of the usual 50 MB cap is 50 GB).
constexpr std::size_t kKeepAllFiles = 1000;

std::shared_ptr<spdlog::logger> MakeDefault() {
    auto logger = std::make_shared<spdlog::logger>("zel.sip", std::make_shared<spdlog::sinks::stderr_sink_mt>());
    logger->set_level(spdlog::level::warn);
    return logger;
}

std::mutex& LoggerMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<spdlog::logger>& Current() {
    static std::shared_ptr<spdlog::logger> logger = MakeDefault();
    return logger;
}

} // namespace

Type ParseType(std::string_view text) { return Lookup(kTypes, text, "log type"); }
Level ParseLevel(std::string_view text) { return Lookup(kLevels, text, "log level"); }
int ParseSyslogFacility(std::string_view text) { return Lookup(kFacilities, text, "syslog facility"); }

void Initialize(const Settings& settings) {
    spdlog::sink_ptr sink;
    switch (settings.type) {
    case Type::Cout: sink = std::make_shared<spdlog::sinks::stdout_sink_mt>(); break;
    case Type::Cerr: sink = std::make_shared<spdlog::sinks::stderr_sink_mt>(); break;
    case Type::None: sink = std::make_shared<spdlog::sinks::null_sink_mt>(); break;
    case Type::Syslog:
        sink = std::make_shared<spdlog::sinks::syslog_sink_mt>(settings.applicationName, LOG_PID,
                                                               settings.syslogFacility, false);
        break;
    case Type::File: {
        if (settings.filePath.empty())
            throw std::invalid_argument("log type FILE needs a log file path");
        const std::size_t cap = settings.maxFileBytes == 0 ? SIZE_MAX : static_cast<std::size_t>(settings.maxFileBytes);
        sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(settings.filePath, cap,
                                                                      settings.keepAllFiles ? kKeepAllFiles : 1);
        break;
    }
    }
    auto logger = std::make_shared<spdlog::logger>(settings.applicationName.empty() ? "zel.sip" : settings.applicationName,
                                                   std::move(sink));
    logger->set_level(ToSpdlog(settings.level));
    logger->set_pattern(settings.type == Type::Syslog ? "%l %t %v" : "%Y-%m-%d %H:%M:%S.%f %n %l %t %v");
    logger->flush_on(spdlog::level::warn);
    std::lock_guard lock(LoggerMutex());
    Current() = std::move(logger);
    gLevel.store(static_cast<int>(settings.level), std::memory_order_relaxed);
}

bool Enabled(Level level) noexcept {
    return level != Level::None && static_cast<int>(level) <= gLevel.load(std::memory_order_relaxed);
}

void Initialize(std::string_view type, std::string_view level, std::string_view applicationName,
                std::string_view filePath, std::string_view syslogFacility, std::uint64_t maxFileBytes,
                bool keepAllFiles) {
    Settings settings;
    settings.type = ParseType(type);
    settings.level = ParseLevel(level);
    settings.applicationName = std::string(applicationName);
    settings.filePath = std::string(filePath);
    settings.syslogFacility = ParseSyslogFacility(syslogFacility);
    settings.maxFileBytes = maxFileBytes;
    settings.keepAllFiles = keepAllFiles;
    Initialize(settings);
}

std::shared_ptr<spdlog::logger> Logger() {
    std::lock_guard lock(LoggerMutex());
    return Current();
}

} // namespace zel::sip::stack::log
