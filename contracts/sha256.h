// SHA-256 (FIPS 180-4) over a message given in parts. The digest comes from the platform's
// library: libcrypto (sha256_libcrypto.cc) or Windows CNG (sha256_cng.cc); the build takes one.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tw {

inline constexpr size_t kSha256Bytes = 32;
using Sha256Digest = std::array<unsigned char, kSha256Bytes>;

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  // Appends `bytes` to the message.
  void update(std::string_view bytes);
  // The digest of everything appended, or nothing when the library failed at any step.
  // REQUIRES: called once, last.
  [[nodiscard]] std::optional<Sha256Digest> finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// `bytes` as lower-case hex digits, two a byte (as digests are written).
inline std::string lowerHex(std::span<const unsigned char> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * bytes.size());
  for (const unsigned char byte : bytes) {
    hex.push_back(kDigits[byte >> 4]);
    hex.push_back(kDigits[byte & 0x0F]);
  }
  return hex;
}

// Frees what the digest library keeps for the calling thread, if anything; to be called by a
// thread that hashed and may still be running while the process ends.
void releaseSha256ThreadState();

}  // namespace tw
