#include "engine/buffer.h"

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

#include "engine/signature_index.h"

namespace strellbox {

namespace {

// A file that shrinks while it is mapped makes reads past its new end fault
// (SIGBUS). Every live mapping is registered here; the handler puts a page of
// zeros over the faulting page of a registered mapping, so the scan reads
// zeros where the file's bytes vanished instead of killing the process.
constexpr int kMaxMappings = 256;
std::atomic<uintptr_t> gMapStart[kMaxMappings];
std::atomic<uintptr_t> gMapEnd[kMaxMappings];
struct sigaction gPreviousBusAction;

void OnBusError(int signal, siginfo_t* info, void* context) {
  const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
  for (int i = 0; i < kMaxMappings; ++i) {
    const uintptr_t start = gMapStart[i].load(std::memory_order_acquire);
    if (start != 0 && address >= start && address < gMapEnd[i].load(std::memory_order_acquire)) {
      const uintptr_t page = address & ~(static_cast<uintptr_t>(::getpagesize()) - 1);
      if (::mmap(reinterpret_cast<void*>(page), static_cast<size_t>(::getpagesize()), PROT_READ,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED)
        return;
    }
  }
  // Not ours: behave as before this handler was installed.
  if (gPreviousBusAction.sa_flags & SA_SIGINFO) {
    gPreviousBusAction.sa_sigaction(signal, info, context);
  } else if (gPreviousBusAction.sa_handler != SIG_DFL && gPreviousBusAction.sa_handler != SIG_IGN) {
    gPreviousBusAction.sa_handler(signal);
  } else {
    ::signal(SIGBUS, SIG_DFL);
    ::raise(SIGBUS);
  }
}

void InstallBusHandlerOnce() {
  static const bool installed = [] {
    struct sigaction action {};
    action.sa_sigaction = OnBusError;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    return ::sigaction(SIGBUS, &action, &gPreviousBusAction) == 0;
  }();
  (void)installed;
}

class Mapping {
 public:
  Mapping(void* address, size_t length) : address_(address), length_(length) {
    InstallBusHandlerOnce();
    for (slot_ = 0; slot_ < kMaxMappings; ++slot_) {
      uintptr_t expected = 0;
      if (gMapStart[slot_].compare_exchange_strong(expected, 1)) {
        gMapEnd[slot_].store(reinterpret_cast<uintptr_t>(address) + length,
                             std::memory_order_release);
        gMapStart[slot_].store(reinterpret_cast<uintptr_t>(address), std::memory_order_release);
        return;
      }
    }
  }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping() {
    if (slot_ < kMaxMappings) {
      gMapStart[slot_].store(0, std::memory_order_release);
      gMapEnd[slot_].store(0, std::memory_order_release);
    }
    ::munmap(address_, length_);
  }

 private:
  void* address_;
  size_t length_;
  int slot_ = kMaxMappings;
};

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

Buffer::Buffer(std::vector<uint8_t> bytes) {
  auto owned = std::make_shared<std::vector<uint8_t>>(std::move(bytes));
  bytes_ = owned->data();
  size_ = owned->size();
  owner_ = std::move(owned);
}

Buffer Buffer::copyOf(const void* bytes, uint64_t length) {
  const auto* p = static_cast<const uint8_t*>(bytes);
  return Buffer(std::vector<uint8_t>(p, p + length));
}

Buffer Buffer::fromString(std::string_view text) { return copyOf(text.data(), text.size()); }

const Origin& Buffer::origin() const {
  static const Origin kNone;
  return origin_ ? *origin_ : kNone;
}

Buffer Buffer::decodedFrom(const Buffer& parent, std::string_view decoder, uint64_t offset,
                           std::string_view member) const {
  auto origin = std::make_shared<Origin>(parent.origin());
  origin->chain.push_back({std::string(decoder), offset, std::string(member)});
  Buffer b = *this;
  b.origin_ = std::move(origin);
  return b;
}

namespace {

ReadStatus StatusOfErrno(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return ReadStatus::kVanished;
    case ENAMETOOLONG:
      return ReadStatus::kNameTooLong;
    default:
      return ReadStatus::kUnreadable;
  }
}

}  // namespace

Buffer Buffer::readFile(const std::filesystem::path& path, uint64_t mapThreshold,
                        ReadStatus* status) {
  ReadStatus ignored;
  ReadStatus& result = status ? *status : ignored;
  // Look before opening: opening a FIFO for reading waits for a writer.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    result = StatusOfErrno(errno);
    return {};
  }
  if (S_ISDIR(st.st_mode)) {
    result = ReadStatus::kFolder;
    return {};
  }
  if (!S_ISREG(st.st_mode)) {
    result = ReadStatus::kSpecial;
    return {};
  }
  // Non-blocking, in case the path was replaced by a FIFO meanwhile.
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) {
    result = StatusOfErrno(errno);
    return {};
  }
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    result = S_ISDIR(st.st_mode) ? ReadStatus::kFolder : ReadStatus::kSpecial;
    return {};
  }
  result = ReadStatus::kRead;
  const auto size = static_cast<uint64_t>(st.st_size);
  if (size == 0) return {};
  std::error_code ec;
  auto origin = std::make_shared<Origin>();
  origin->container = std::filesystem::absolute(path, ec).lexically_normal().string();

  if (size > mapThreshold) {
    void* address = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd.get(), 0);
    if (address != MAP_FAILED) {
      ::madvise(address, size, MADV_SEQUENTIAL);
      Buffer b;
      b.owner_ = std::make_shared<Mapping>(address, static_cast<size_t>(size));
      b.bytes_ = static_cast<const uint8_t*>(address);
      b.size_ = size;
      b.mapped_ = true;
      b.origin_ = std::move(origin);
      return b;
    }
    // Fall back to reading when the file cannot be mapped.
  }

  std::vector<uint8_t> bytes(size);
  uint64_t got = 0;
  while (got < size) {
    ssize_t n = ::read(fd.get(), bytes.data() + got, static_cast<size_t>(size - got));
    if (n < 0) {
      if (errno == EINTR) continue;
      result = ReadStatus::kUnreadable;
      return {};
    }
    if (n == 0) break;  // the file shrank while it was read
    got += static_cast<uint64_t>(n);
  }
  bytes.resize(got);
  Buffer b(std::move(bytes));
  b.origin_ = std::move(origin);
  return b;
}

uint64_t Buffer::find(uint8_t byte, uint64_t from, uint64_t limit) const {
  limit = std::min(limit, size_);
  if (from >= limit) return npos;
  const void* hit = std::memchr(bytes_ + from, byte, static_cast<size_t>(limit - from));
  return hit ? static_cast<uint64_t>(static_cast<const uint8_t*>(hit) - bytes_) : npos;
}

namespace {

// The first p in [from, limit) with b[p] == first and accept(p), testing
// sixteen bytes at a time while 17 bytes can be read; limit < size.
template <class Accept>
uint64_t FindFirstThen(const uint8_t* b, uint64_t size, uint8_t first, uint64_t from,
                       uint64_t limit, Accept accept) {
  uint64_t i = from;
#if defined(__SSE2__)
  const __m128i wanted = _mm_set1_epi8(static_cast<char>(first));
  for (; i < limit && size - i >= 17; i += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
    auto mask = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, wanted)));
    for (; mask != 0; mask &= mask - 1) {
      const uint64_t p = i + static_cast<uint64_t>(__builtin_ctz(mask));
      if (p >= limit) return Buffer::npos;
      if (accept(p)) return p;
    }
  }
#endif
  for (; i < limit; ++i)
    if (b[i] == first && accept(i)) return i;
  return Buffer::npos;
}

// The first p in [from, limit) with b[p] == first, b[p + 1] == second and
// accept(p); limit < size. Blocks of positions are tested at once and every
// pair in a block is tried inline, so data made of nothing but pairs costs a
// few instructions per pair, not a call.
#if defined(__x86_64__) && defined(__GNUC__)
// 64 positions a step with AVX2 where the processor has it; `i` is left
// where this stopped looking. With a third byte (0 to 255) positions are
// also tested for it, so a run of one pair (or of one byte, for a needle
// starting with it twice) does not stop the search at every position.
template <class Accept>
__attribute__((target("avx2"))) uint64_t FindPairAvx2(const uint8_t* b, uint64_t size,
                                                      uint8_t first, uint8_t second, int third,
                                                      uint64_t& i, uint64_t limit, Accept& accept) {
  const __m256i wantFirst = _mm256_set1_epi8(static_cast<char>(first));
  const __m256i wantSecond = _mm256_set1_epi8(static_cast<char>(second));
  const __m256i wantThird = _mm256_set1_epi8(static_cast<char>(third));
  const uint64_t reach = third < 0 ? 65 : 66;
  for (; i < limit && size - i >= reach; i += 64) {
    const auto* at = reinterpret_cast<const __m256i*>(b + i);
    const auto* on = reinterpret_cast<const __m256i*>(b + i + 1);
    __m256i low = _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_loadu_si256(at), wantFirst),
                                   _mm256_cmpeq_epi8(_mm256_loadu_si256(on), wantSecond));
    __m256i high = _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_loadu_si256(at + 1), wantFirst),
                                    _mm256_cmpeq_epi8(_mm256_loadu_si256(on + 1), wantSecond));
    if (third >= 0) {
      const auto* next = reinterpret_cast<const __m256i*>(b + i + 2);
      low = _mm256_and_si256(low, _mm256_cmpeq_epi8(_mm256_loadu_si256(next), wantThird));
      high = _mm256_and_si256(high, _mm256_cmpeq_epi8(_mm256_loadu_si256(next + 1), wantThird));
    }
    uint64_t mask = static_cast<uint32_t>(_mm256_movemask_epi8(low)) |
                    uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(high))} << 32;
    for (; mask != 0; mask &= mask - 1) {
      const uint64_t p = i + static_cast<uint64_t>(__builtin_ctzll(mask));
      if (p >= limit) return Buffer::npos;
      if (accept(p)) return p;
    }
  }
  return Buffer::npos;
}

// The first p in [i, limit) where the first two bytes of any needle stand
// and accept(p), 32 positions a step; `i` is left where this stopped looking.
template <class Accept>
__attribute__((target("avx2"))) uint64_t FindAnyPairAvx2(
    const uint8_t* b, uint64_t size, const std::vector<std::string_view>& needles, uint64_t& i,
    uint64_t limit, Accept& accept) {
  constexpr size_t kMost = 32;
  __m256i firsts[kMost], seconds[kMost];
  const size_t count = std::min(needles.size(), kMost);
  for (size_t k = 0; k < count; ++k) {
    firsts[k] = _mm256_set1_epi8(needles[k][0]);
    seconds[k] = _mm256_set1_epi8(needles[k][1]);
  }
  for (; i < limit && size - i >= 33; i += 32) {
    const __m256i at = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i));
    const __m256i on = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i + 1));
    __m256i any = _mm256_setzero_si256();
    for (size_t k = 0; k < count; ++k)
      any = _mm256_or_si256(any, _mm256_and_si256(_mm256_cmpeq_epi8(at, firsts[k]),
                                                  _mm256_cmpeq_epi8(on, seconds[k])));
    for (auto mask = static_cast<uint32_t>(_mm256_movemask_epi8(any)); mask != 0;
         mask &= mask - 1) {
      const uint64_t p = i + static_cast<uint64_t>(__builtin_ctz(mask));
      if (p >= limit) return Buffer::npos;
      if (accept(p)) return p;
    }
  }
  return Buffer::npos;
}

// Initialised before main; the feature table may not be filled in yet then.
const bool gHaveAvx2 = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
#endif

// `third` is a byte the candidates must also have at p + 2, or -1; accept()
// still decides (the block-wise tests only narrow the candidates down).
template <class Accept>
uint64_t FindPairThen(const uint8_t* b, uint64_t size, uint8_t first, uint8_t second, int third,
                      uint64_t from, uint64_t limit, Accept accept) {
  uint64_t i = from;
#if defined(__x86_64__) && defined(__GNUC__)
  if (gHaveAvx2) {
    const uint64_t p = FindPairAvx2(b, size, first, second, third, i, limit, accept);
    if (p != Buffer::npos || i >= limit) return p;
  }
#endif
  // The rest, and every processor without AVX2: the first byte sixteen at
  // a time, the second tested inline.
  return FindFirstThen(b, size, first, i, limit, [b, second, &accept](uint64_t p) {
    return b[p + 1] == second && accept(p);
  });
}

}  // namespace

template <class Sweep>
uint64_t Buffer::findIndexed(uint32_t id, uint64_t from, uint64_t limit, Sweep sweep) const {
  if (from >= limit) return npos;
  const uint64_t covered = index_->covered(id);
  const uint64_t coveredHere = covered > indexShift_ ? covered - indexShift_ : 0;
  if (from < coveredHere) {
    const uint64_t p =
        index_->next(id, from + indexShift_, std::min(limit, coveredHere) + indexShift_);
    if (p != npos) return p - indexShift_;
    if (limit <= coveredHere) return npos;
    from = coveredHere;
  }
  return sweep(from, limit);
}

uint64_t Buffer::findPair(uint8_t first, uint8_t second, uint64_t from, uint64_t limit) const {
  if (size_ < 2) return npos;
  limit = std::min(limit, size_ - 1);
  if (from >= limit) return npos;
  const auto sweep = [&](uint64_t f, uint64_t l) {
    return FindPairThen(bytes_, size_, first, second, -1, f, l, [](uint64_t) { return true; });
  };
  if (index_) {
    const char pair[2] = {static_cast<char>(first), static_cast<char>(second)};
    if (const auto id = SignatureIndex::literalId({pair, 2}))
      return findIndexed(*id, from, limit, sweep);
  }
  return sweep(from, limit);
}

uint64_t Buffer::findPairIn(uint8_t first, const std::array<bool, 256>& seconds, uint64_t from,
                            uint64_t limit) const {
  if (size_ < 2) return npos;
  limit = std::min(limit, size_ - 1);
  if (from >= limit) return npos;
  const uint8_t* b = bytes_;
  const auto sweep = [&](uint64_t f, uint64_t l) {
    return FindFirstThen(b, size_, first, f, l,
                         [b, &seconds](uint64_t p) { return seconds[b[p + 1]]; });
  };
  if (index_)
    if (const auto id = SignatureIndex::pairId(first, seconds))
      return findIndexed(*id, from, limit, sweep);
  return sweep(from, limit);
}

uint64_t Buffer::findAny(const std::vector<std::string_view>& needles, uint64_t from,
                         uint64_t limit, size_t& which) const {
  limit = std::min(limit, size_);
  // Whether a needle stands wholly at p; the first such needle is `which`.
  auto accept = [&](uint64_t p) {
    for (size_t k = 0; k < needles.size(); ++k) {
      if (startsWith(p, needles[k])) {
        which = k;
        return true;
      }
    }
    return false;
  };
  if (index_ && from < limit && std::all_of(needles.begin(), needles.end(), [](std::string_view n) {
        return SignatureIndex::literalId(n).has_value();
      })) {
    // Each needle's own answer from the index, looked for only before the
    // best so far.
    uint64_t best = npos;
    for (const std::string_view needle : needles) {
      if (needle.size() > size_) continue;
      const uint64_t end = std::min(best == npos ? limit : best, size_ - needle.size() + 1);
      best = std::min(best, find(needle, from, end));
    }
    return best != npos && accept(best) ? best : npos;
  }
#if defined(__x86_64__) && defined(__GNUC__)
  if (gHaveAvx2 && needles.size() <= 32 &&
      std::all_of(needles.begin(), needles.end(),
                  [](std::string_view n) { return n.size() >= 2; })) {
    uint64_t i = from;
    const uint64_t p = FindAnyPairAvx2(bytes_, size_, needles, i, limit, accept);
    if (p != npos || i >= limit) return p;
    from = i;
  }
#endif
  // The rest, and every processor without AVX2: each needle's own search.
  uint64_t best = npos;
  for (const std::string_view needle : needles) {
    const uint64_t p = find(needle, from, best == npos ? limit : best + 1);
    if (p != npos && (best == npos || p < best)) best = p;
  }
  return best != npos && accept(best) ? best : npos;
}

namespace {

#if defined(__x86_64__) && defined(__GNUC__)
// 32 positions a step; `i` is left where this stopped looking.
template <class Accept>
__attribute__((target("avx2"))) uint64_t FindEitherPairAvx2(const uint8_t* b, uint64_t size,
                                                            Buffer::MaskedPair x,
                                                            Buffer::MaskedPair y, uint64_t& i,
                                                            uint64_t limit, Accept& accept) {
  const __m256i xFirst = _mm256_set1_epi8(static_cast<char>(x.first));
  const __m256i xMask = _mm256_set1_epi8(static_cast<char>(x.mask));
  const __m256i xBits = _mm256_set1_epi8(static_cast<char>(x.bits));
  const __m256i yFirst = _mm256_set1_epi8(static_cast<char>(y.first));
  const __m256i yMask = _mm256_set1_epi8(static_cast<char>(y.mask));
  const __m256i yBits = _mm256_set1_epi8(static_cast<char>(y.bits));
  for (; i < limit && size - i >= 33; i += 32) {
    const __m256i at = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i));
    const __m256i on = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i + 1));
    const __m256i hitX = _mm256_and_si256(_mm256_cmpeq_epi8(at, xFirst),
                                          _mm256_cmpeq_epi8(_mm256_and_si256(on, xMask), xBits));
    const __m256i hitY = _mm256_and_si256(_mm256_cmpeq_epi8(at, yFirst),
                                          _mm256_cmpeq_epi8(_mm256_and_si256(on, yMask), yBits));
    for (auto mask = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_or_si256(hitX, hitY)));
         mask != 0; mask &= mask - 1) {
      const uint64_t p = i + static_cast<uint64_t>(__builtin_ctz(mask));
      if (p >= limit) return Buffer::npos;
      if (accept(p)) return p;
    }
  }
  return Buffer::npos;
}
#endif

}  // namespace

namespace {

template <class Accept>
uint64_t SweepEitherPair(const uint8_t* bytes, uint64_t size, Buffer::MaskedPair a,
                         Buffer::MaskedPair b, uint64_t i, uint64_t limit, Accept accept) {
#if defined(__x86_64__) && defined(__GNUC__)
  if (gHaveAvx2 && i < limit) {
    const uint64_t p = FindEitherPairAvx2(bytes, size, a, b, i, limit, accept);
    if (p != Buffer::npos || i >= limit) return p;
  }
#endif
  const auto stands = [bytes](const Buffer::MaskedPair& m, uint64_t p) {
    return bytes[p] == m.first && (bytes[p + 1] & m.mask) == m.bits;
  };
  for (; i < limit; ++i)
    if ((stands(a, i) || stands(b, i)) && accept(i)) return i;
  return Buffer::npos;
}

}  // namespace

uint64_t Buffer::findEitherPair(MaskedPair a, MaskedPair b, uint64_t from, uint64_t limit,
                                bool (*accept)(const Buffer&, uint64_t)) const {
  if (size_ < 2) return npos;
  limit = std::min(limit, size_ - 1);
  return SweepEitherPair(bytes_, size_, a, b, from, limit,
                         [this, accept](uint64_t p) { return !accept || accept(*this, p); });
}

uint64_t Buffer::find(std::string_view needle, uint64_t from, uint64_t limit) const {
  if (needle.empty() || needle.size() > size_) return npos;
  // A start p counts only when the whole needle fits: p + len <= size.
  limit = std::min(limit, size_ - needle.size() + 1);
  if (from >= limit) return npos;
  if (needle.size() == 1) return find(static_cast<uint8_t>(needle[0]), from, limit);
  // The needles searched for are short words and signatures: the search
  // stops only where their first two (or three) bytes stand, then the rest
  // is compared.
  const uint8_t* b = bytes_;
  const std::string_view rest = needle.substr(2);
  const int third = needle.size() > 2 ? static_cast<uint8_t>(needle[2]) : -1;
  const auto sweep = [&](uint64_t f, uint64_t l) {
    return FindPairThen(b, size_, static_cast<uint8_t>(needle[0]), static_cast<uint8_t>(needle[1]),
                        third, f, l, [b, rest](uint64_t p) {
                          // Inline: the rests are a few bytes, shorter than a call.
                          for (size_t k = 0; k < rest.size(); ++k)
                            if (b[p + 2 + k] != static_cast<uint8_t>(rest[k])) return false;
                          return true;
                        });
  };
  if (index_)
    if (const auto id = SignatureIndex::literalId(needle))
      return findIndexed(*id, from, limit, sweep);
  return sweep(from, limit);
}

Buffer Buffer::slice(uint64_t from, uint64_t length) const {
  Buffer b;
  if (from >= size_) return b;
  b.origin_ = origin_;
  b.owner_ = owner_;
  b.bytes_ = bytes_ + from;
  b.size_ = std::min(length, size_ - from);
  b.mapped_ = mapped_;
  b.index_ = index_;
  b.indexShift_ = indexShift_ + from;
  return b;
}

Buffer Buffer::copy(uint64_t from, uint64_t length) const {
  if (from >= size_) return {};
  Buffer b = copyOf(bytes_ + from, std::min(length, size_ - from));
  b.origin_ = origin_;
  return b;
}

std::string_view Buffer::view(uint64_t from, uint64_t length) const {
  if (from >= size_) return {};
  return {reinterpret_cast<const char*>(bytes_ + from),
          static_cast<size_t>(std::min(length, size_ - from))};
}

}  // namespace strellbox
