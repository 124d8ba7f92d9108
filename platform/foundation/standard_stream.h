// Unbuffered writes to the process's standard streams.

#ifndef PLIM_PLATFORM_FOUNDATION_STANDARD_STREAM_H_
#define PLIM_PLATFORM_FOUNDATION_STANDARD_STREAM_H_

#include <string_view>

namespace plim::foundation {

// Writes all of `bytes` to file descriptor `fd` with write(2), as one write
// operation where the kernel takes it whole (it retries only the part a short
// write or an interruption left). Bypasses any stdio buffer. The outcome is
// not reported: callers of these streams do not act on it. Thread-safe.
void writeToFileDescriptor(int fd, std::string_view bytes);

inline void writeToStandardOutput(std::string_view bytes) { writeToFileDescriptor(1, bytes); }
inline void writeToStandardError(std::string_view bytes) { writeToFileDescriptor(2, bytes); }

}  // namespace plim::foundation

#endif  // PLIM_PLATFORM_FOUNDATION_STANDARD_STREAM_H_
