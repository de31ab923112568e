#include "core/ComputerNameProvider.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <system_error>

#include <unistd.h>

namespace zel::sip {

std::string ComputerNameProvider::GetFQDN() const {
    std::array<char, 1024> name{};
    if (::gethostname(name.data(), name.size()) != 0)
        throw std::system_error(errno, std::system_category());
    // POSIX leaves it open whether a name that fills the buffer is terminated.
    return std::string(name.data(), ::strnlen(name.data(), name.size()));
}

} // namespace zel::sip
