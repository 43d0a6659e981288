#pragma once
// Every resource limit and fixed size of the HTTP layer, in one place.

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace tandemize::web {

// The "x-request" header carries a whole import envelope header, so a header
// block of 1 MiB is accepted; a larger one is refused with 431.
inline constexpr std::uint32_t kMaxHeaderBlockBytes = 1024 * 1024;

// Bodies are held whole in memory (once: the body stream reads them in
// place); a larger body is refused with 413 before it is read.
inline constexpr std::uint64_t kMaxBodyBytes = 256ull * 1024 * 1024;

// A client that stops sending in the middle of a request must not hold its
// thread forever: 60 s without a byte closes the connection.
inline constexpr std::chrono::seconds kIdleReadTimeout{60};

// The whole header block must arrive within 60 s of the connection being
// accepted, however steadily it trickles in.
inline constexpr std::chrono::seconds kHeaderReadTimeout{60};

// The body gets 60 s from the end of the header block, and beyond that must
// keep an average of at least 16 KiB/s over the whole body (a 256 MiB body
// may take up to about 4.5 hours on a slow link; one byte a second is cut off
// at 60 s).
inline constexpr std::chrono::seconds kBodyGraceTime{60};
inline constexpr std::uint64_t kMinBodyBytesPerSecond = 16 * 1024;

// Open connections at once; each one holds a thread. A connection beyond this
// is answered 503 straight from the accept loop and closed.
inline constexpr int kMaxConnections = 1000;

// Text of that 503.
inline constexpr const char* kTooManyConnectionsText =
    "Too many open connections. Please try again later";

// A connection thread that has finished its connection waits this long for
// the next one before it ends; at most kMaxIdleThreads wait at once. Starting
// and ending a thread per connection costs more than serving a small request.
inline constexpr std::chrono::seconds kIdleThreadLifetime{30};
inline constexpr int kMaxIdleThreads = 64;

// Pause before accepting again after accept itself failed (out of file
// descriptors, ...), so the loop does not spin.
inline constexpr std::chrono::milliseconds kAcceptRetryDelay{50};

// Writing an answer to a client that does not read is given the same patience.
inline constexpr std::chrono::seconds kWriteTimeout{60};

// Read buffer of a connection whose request has a body still to come: a body
// arrives in reads of up to this size (the header block in reads of 512).
inline constexpr std::size_t kBodyReadBytes = 64 * 1024;

// After refusing a request, its unread remainder is drained this long so the
// client can still read the refusal instead of a connection reset.
inline constexpr std::chrono::seconds kDrainTimeout{2};

// Body bytes held by all connections at once, counted from each request's
// announced length (chunked bodies as they arrive) until its answer is
// written: a thousand connections announcing 256 MiB each must not take the
// machine's memory. A body that would go beyond is refused with 503.
inline constexpr std::uint64_t kMaxBufferedBodyBytes = 2ull * 1024 * 1024 * 1024;
inline constexpr const char* kBodyBudgetText =
    "Too much request data in progress. Please try again later";

// Requests inside the web layer at once; each holds a thread and its body.
inline constexpr int kMaxConcurrentRequests = 32;

// Listen backlog used when none was configured. Connections wait there while
// the accept loop starts their threads; when it is full the kernel drops new
// connection attempts and the client retries only after a second or more, so
// a burst of clients must fit (the system may clamp it, net.core.somaxconn).
inline constexpr int kDefaultListenQueue = 1024;

// Port used when the configured one is below 1.
inline constexpr int kDefaultPort = 9000;

// Host meaning "every interface"; also the default when none is configured.
inline constexpr const char* kAnyHost = "0.0.0.0";

// Output buffer of one zlib deflate step in the compression middleware.
inline constexpr std::size_t kCompressionBufferBytes = 1024 * 1024;

}  // namespace tandemize::web
