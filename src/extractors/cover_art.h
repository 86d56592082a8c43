// What sound files, movies and messages carry beside their content: cover
// art named by its bytes, attachments named by the names they were given.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/buffer.h"

namespace strellbox {

// The extension of the picture whose bytes start at `at` ("bin" when they
// say none we know).
std::string_view PictureType(const Buffer& b, uint64_t at);

// The first picture the tags at the start of a sound file carry, as its own
// bytes: an ID3v2 tag's APIC frame (unsynchronisation undone), a FLAC
// PICTURE block, an Ogg stream's METADATA_BLOCK_PICTURE comment (Base64
// decoded). Nothing when the file opens with none of these, or they carry
// no picture.
std::optional<Buffer> TaggedCoverOf(const Buffer& file);

// An attachment named `name` inside the source `stem`, whose bytes start at
// `at` of `b`: its type (the name's extension when it is a plain one, else
// what its bytes say) and the item's name ("stem-name.type"; no folders, no
// dot in front, odd characters replaced).
struct AttachmentName {
  std::string type;
  std::string original;
};
AttachmentName NameAttachment(std::string_view stem, std::string_view name, const Buffer& b,
                              uint64_t at);

}  // namespace strellbox
