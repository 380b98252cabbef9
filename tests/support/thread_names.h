// The threads of this process by the names they give themselves: a test
// counts its own workers without the loopback servers', the toolkit's or
// the sanitizer's threads, which come and go on their own. Any thread.
#pragma once

#include <cstddef>
#include <string_view>

namespace installer::testing {

// The threads alive now whose name starts with `prefix`.
std::size_t threadsNamed(std::string_view prefix);

}  // namespace installer::testing
