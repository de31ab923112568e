#pragma once

#include <cstddef>
#include <string>

namespace zel::sip::stack {

/// Unpredictable text for the values a peer must not guess (RFC 3261 sections 8.1.1.4, 8.1.1.7,
/// 19.3): Via branches, From and To tags, Call-IDs, digest cnonces. Drawn from OpenSSL's CSPRNG
/// (RAND_bytes): outputs of a seeded generator such as std::mt19937_64 give away its state, and
/// then every later branch, so a forged response could be made to match a client transaction.
///
/// Each thread takes the generator's output in blocks of 512 bytes and hands out each byte once;
/// a process made by fork starts a new block, so it never repeats its parent's values.
///
/// Threads: any thread (OpenSSL's default generator is thread-safe; the blocks are per thread).

/// `bytes` random bytes as lowercase base32 (RFC 4648 alphabet, no padding): 8 bits per 1.6
/// characters, only letters and digits, so the text is a valid token, word and tag everywhere in
/// SIP. RandomToken(16) carries 128 bits in 26 characters. Raises std::runtime_error when the
/// generator fails (it is not seeded), std::invalid_argument for 0 or more than 256 bytes.
std::string RandomToken(std::size_t bytes = 16);

/// `bytes` random bytes as lowercase hex (2 characters per byte). Raises as RandomToken.
std::string RandomHex(std::size_t bytes = 16);

} // namespace zel::sip::stack
