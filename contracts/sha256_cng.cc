#include <windows.h>
// After windows.h, which it needs.
#include <bcrypt.h>

#include "contracts/sha256.h"

namespace tw {

namespace {

// The largest part handed to one BCryptHashData call (it takes a ULONG count).
constexpr size_t kMaxPartBytes = size_t{1} << 30;

bool succeeded(NTSTATUS status) {
  return status >= 0;
}

}  // namespace

struct Sha256::State {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool ok = false;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  state_->ok =
      succeeded(
          ::BCryptOpenAlgorithmProvider(&state_->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) &&
      succeeded(::BCryptCreateHash(state_->algorithm, &state_->hash, nullptr, 0, nullptr, 0, 0));
}

Sha256::~Sha256() {
  if (state_->hash != nullptr) (void)::BCryptDestroyHash(state_->hash);
  if (state_->algorithm != nullptr) (void)::BCryptCloseAlgorithmProvider(state_->algorithm, 0);
}

void Sha256::update(std::string_view bytes) {
  while (state_->ok && !bytes.empty()) {
    const size_t part = bytes.size() < kMaxPartBytes ? bytes.size() : kMaxPartBytes;
    // CNG does not write through the pointer, whatever its type says.
    auto* data = reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data()));
    state_->ok = succeeded(::BCryptHashData(state_->hash, data, static_cast<ULONG>(part), 0));
    bytes.remove_prefix(part);
  }
}

std::optional<Sha256Digest> Sha256::finish() {
  Sha256Digest digest{};
  state_->ok = state_->ok && succeeded(::BCryptFinishHash(state_->hash, digest.data(),
                                                          static_cast<ULONG>(digest.size()), 0));
  if (!state_->ok) return std::nullopt;
  return digest;
}

void releaseSha256ThreadState() {
  // CNG keeps nothing for a thread.
}

}  // namespace tw
