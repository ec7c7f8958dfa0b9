// The decimal id of the calling thread as the log shows it at the start of thread-life
// messages ("4711|> Starting processing thread"): the kernel's thread id, which is also
// what `top -H` and `/proc/<pid>/task` show.
#pragma once

#include <string>
#include <unistd.h>

namespace nox {

inline std::string thread_tag() { return std::to_string(static_cast<long long>(::gettid())); }

}  // namespace nox
