#pragma once

// The RapidJSON headers the configuration code uses, included in one place.
//
// RapidJSON 1.1's internal stack allocates lazily and computes `nullptr + size` on its first push,
// which clang's UndefinedBehaviorSanitizer reports as pointer overflow and the sanitizer builds turn
// into an abort on every document. The arithmetic is never dereferenced, so that one check is
// switched off for RapidJSON's own functions and nowhere else. The standard headers RapidJSON pulls
// in come first, so the attribute reaches only RapidJSON's declarations.

#include <cassert>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iosfwd>
#include <istream>
#include <iterator>
#include <limits>
#include <new>
#include <ostream>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#if defined(__clang__)
#pragma clang attribute push(__attribute__((no_sanitize("pointer-overflow"))), apply_to = function)
#endif

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#if defined(__clang__)
#pragma clang attribute pop
#endif
