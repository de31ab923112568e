// zel-config-check: shows how the library reads a configuration document.
//
//   zel-config-check <config.json>     (or "-" to read standard input)
//
// Prints the effective configuration as JSON (the layout of the input, every key present, so the
// output can be used as a configuration itself), then every key the library ignores and why.
// Exit status: 0 when the document could be read (whatever it holds), 1 when it cannot be read,
// 2 on a usage error.

#include "config/ConfigDiagnostics.h"
#include "config/ConfigPrinter.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <string>
#include <unistd.h>

namespace {

constexpr const char* ProgramName = "zel-config-check";

int Usage() {
    std::cerr << "usage: " << ProgramName << " <config.json>\n"
              << "       " << ProgramName << " -    (read the document from standard input)\n";
    return 2;
}

/// Reads at most `limit` bytes of the descriptor into `text`. Returns 0 or the errno of the failure.
int ReadAll(int fd, std::size_t limit, std::string& text) {
    char chunk[65536];
    while (text.size() < limit) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (got == 0) {
            break;
        }
        text.append(chunk, static_cast<std::size_t>(got));
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2 || argv[1][0] == '\0' || (argv[1][0] == '-' && argv[1][1] != '\0')) {
        return Usage();
    }
    const std::string path = argv[1];
    const bool fromStdin = path == "-";

    // One byte more than the reader accepts is enough to tell that a document is too long; reading
    // no further keeps an endless input (a device, a pipe) from filling memory.
    std::string text;
    int error = 0;
    if (fromStdin) {
        error = ReadAll(STDIN_FILENO, zel::sip::MaxConfigTextSize + 1, text);
    } else {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            error = errno;
        } else {
            error = ReadAll(fd, zel::sip::MaxConfigTextSize + 1, text);
            ::close(fd);
        }
    }
    if (error != 0) {
        std::cerr << ProgramName << ": cannot read '" << (fromStdin ? "standard input" : path)
                  << "': " << std::strerror(error) << '\n';
        return 1;
    }

    zel::sip::ConfigDiagnosticLog log;
    const auto config = zel::sip::ReadConfig(text.c_str(), &log);

    std::cout << "Effective configuration:\n" << zel::sip::PrintConfig(config) << '\n';
    const auto nul = text.find('\0');
    if (log.Entries().empty() && nul == std::string::npos) {
        std::cout << "Ignored keys: none\n";
    } else {
        std::cout << "Ignored keys:\n";
        // The library reads the text as a C string: it ends at the first NUL byte.
        if (nul != std::string::npos) {
            std::cout << "  (document): NUL byte at offset " << nul << "; the text ends there, the rest is ignored\n";
        }
        for (const auto& entry : log.Entries()) {
            std::cout << "  " << entry.Message << '\n';
        }
    }
    std::cout.flush();
    return 0;
}
