// What sound files carry beside their sound: cover art, named by its bytes.
#pragma once

#include <cstdint>
#include <string_view>

#include "engine/buffer.h"

namespace strellbox {

// The extension of the picture whose bytes start at `at` ("bin" when they
// say none we know).
std::string_view PictureType(const Buffer& b, uint64_t at);

}  // namespace strellbox
