// SHA-256 from libcrypto's digest routines themselves, not through its EVP layer: the EVP layer
// loads the system's library configuration (a file, and variables of the environment that name
// others) on its first use, which costs about a millisecond and would let the environment
// change what the worker runs. The routines used are those the EVP layer itself ends in.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/crypto.h>
#include <openssl/sha.h>

#include "contracts/sha256.h"

static_assert(tw::kSha256Bytes == SHA256_DIGEST_LENGTH);

namespace tw {

struct Sha256::State {
  SHA256_CTX context;
  bool ok = false;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  state_->ok = SHA256_Init(&state_->context) == 1;
}

Sha256::~Sha256() = default;

void Sha256::update(std::string_view bytes) {
  state_->ok = state_->ok && SHA256_Update(&state_->context, bytes.data(), bytes.size()) == 1;
}

std::optional<Sha256Digest> Sha256::finish() {
  Sha256Digest out;
  state_->ok = state_->ok && SHA256_Final(out.data(), &state_->context) == 1;
  if (!state_->ok) return std::nullopt;
  return out;
}

void releaseSha256ThreadState() {
  OPENSSL_thread_stop();
}

}  // namespace tw
