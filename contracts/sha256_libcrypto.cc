#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "contracts/sha256.h"

namespace tw {

struct Sha256::State {
  EVP_MD_CTX* context = nullptr;
  bool ok = false;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  state_->context = EVP_MD_CTX_new();
  state_->ok =
      state_->context != nullptr && EVP_DigestInit_ex(state_->context, EVP_sha256(), nullptr) == 1;
}

Sha256::~Sha256() {
  EVP_MD_CTX_free(state_->context);
}

void Sha256::update(std::string_view bytes) {
  state_->ok = state_->ok && EVP_DigestUpdate(state_->context, bytes.data(), bytes.size()) == 1;
}

std::optional<Sha256Digest> Sha256::finish() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestLength = 0;
  state_->ok = state_->ok && EVP_DigestFinal_ex(state_->context, digest, &digestLength) == 1;
  if (!state_->ok || digestLength != kSha256Bytes) return std::nullopt;
  Sha256Digest out;
  for (size_t i = 0; i < kSha256Bytes; ++i) out[i] = digest[i];
  return out;
}

void releaseSha256ThreadState() {
  OPENSSL_thread_stop();
}

}  // namespace tw
