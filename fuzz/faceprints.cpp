// The faceprint file's plaintext (after decryption): what decodes is a record list that the
// store writes back to the same records.
#include "foundation/faceprint_store.hpp"
#include "fuzz_input.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using quorvel::FaceprintStore;
  const auto records = FaceprintStore::decode(quorvel::Bytes(data, data + size));
  if (!records) return 0;
  const auto text = FaceprintStore::encode(*records);
  FUZZ_CHECK(text);
  const auto again = FaceprintStore::decode(quorvel::Bytes(text->begin(), text->end()));
  FUZZ_CHECK(again && *again == *records);
  return 0;
}
