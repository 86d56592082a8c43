#include "engine/digest.h"

#include <openssl/evp.h>

#include <algorithm>

#include "engine/log.h"

namespace strellbox {

Md5 md5Full(const Buffer& buffer, uint64_t offset, uint64_t length) {
  Md5 out{};
  if (offset > buffer.size()) offset = buffer.size();
  if (length > buffer.size() - offset) {
    StrellLog("Check request too long");
    length = buffer.size() - offset;
  }
  unsigned int size = 0;
  EVP_Digest(buffer.data() ? buffer.data() + offset : reinterpret_cast<const uint8_t*>(""),
             static_cast<size_t>(length), out.data(), &size, EVP_md5(), nullptr);
  return out;
}

ItemDigest itemDigest(const Buffer& buffer, uint64_t offset, uint64_t length) {
  ItemDigest out{};
  offset = std::min(offset, buffer.size());
  length = std::min(length, buffer.size() - offset);
  unsigned int size = 0;
  EVP_Digest(buffer.data() ? buffer.data() + offset : reinterpret_cast<const uint8_t*>(""),
             static_cast<size_t>(length), out.data(), &size, EVP_sha256(), nullptr);
  return out;
}

int32_t FoldMd5(const Md5& d) {
  uint32_t sum = 0;
  for (int w = 0; w < 4; ++w)
    sum += (uint32_t{d[4 * w]} << 24) | (uint32_t{d[4 * w + 1]} << 16) |
           (uint32_t{d[4 * w + 2]} << 8) | uint32_t{d[4 * w + 3]};
  return static_cast<int32_t>(sum);
}

int32_t md5DigestFrom(const Buffer& buffer, uint64_t offset, uint64_t length) {
  if (buffer.empty()) return 0;
  return FoldMd5(md5Full(buffer, offset, length));
}

int32_t md5Digest(const Buffer& buffer) { return md5DigestFrom(buffer, 0, buffer.size()); }

}  // namespace strellbox
