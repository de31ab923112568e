// Feeds arbitrary bytes to the configuration reader: the silent reading the library uses, and the
// reading with diagnostics followed by the printer. The printed record must read back to the same
// print with nothing to report.

#include "config/Config.h"
#include "config/ConfigDiagnostics.h"
#include "config/ConfigPrinter.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size); // c_str() adds the NUL
    (void)zel::sip::Deserialise(text.c_str());

    zel::sip::ConfigDiagnosticLog log;
    const auto config = zel::sip::ReadConfig(text.c_str(), &log);
    for (const auto& entry : log.Entries()) {
        if (entry.Message.empty() || entry.Message.find('\n') != std::string::npos) {
            std::abort(); // every report is one line
        }
    }
    const auto printed = zel::sip::PrintConfig(config);
    if (printed.size() <= zel::sip::MaxConfigTextSize) {
        zel::sip::ConfigDiagnosticLog again;
        const auto reread = zel::sip::ReadConfig(printed.c_str(), &again);
        if (!again.Entries().empty() || zel::sip::PrintConfig(reread) != printed) {
            std::abort();
        }
    }
    return 0;
}
