// Threads a long task may share its work with: `helpers(count, task)` runs
// `task` on up to `count` other threads as they come free. The caller does
// whatever they do not take itself, and never waits for a task that has
// not started, so a busy pool only makes the work slower, never stuck.
#pragma once

#include <cstddef>
#include <functional>

namespace strellbox {

using ScanHelpers = std::function<void(size_t count, std::function<void()> task)>;

}  // namespace strellbox
