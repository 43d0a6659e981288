#pragma once
// Response compression middleware: deflate (raw, preferred) or gzip with zlib
// level 9, for answers whose body bytes exceed a threshold.

#include <cstddef>
#include <string>
#include <string_view>

#include "web/relay_types.h"

namespace tandemize::web {

enum class TRelayCompressionType { ctDeflate, ctGZIP };

inline constexpr std::size_t kDefaultCompressionThreshold = 1024;

// zlib deflate at level 9: raw deflate (window bits -15) or gzip (31).
std::string CompressBytes(std::string_view aBytes, TRelayCompressionType aType);

// Calls next, then compresses the response body when the client accepts
// deflate or gzip (deflate wins) and the body bytes that would go out are more
// than aThreshold.
TRelayCallback Compression(std::size_t aThreshold = kDefaultCompressionThreshold);

}  // namespace tandemize::web
