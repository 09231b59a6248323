// SHA-256 (FIPS 180-4), for the manifests `get --hash sha256` writes.
#ifndef DORVEX_CLI_SHA256_H
#define DORVEX_CLI_SHA256_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace dvcli {

class Sha256 {
  public:
    Sha256() { reset(); }
    void reset();
    // Adds `len` bytes to the message.
    void update(const void *data, size_t len);
    // Ends the message: its digest as 64 lower-case hex digits. Then reset().
    std::string hex();

  private:
    void block(const uint8_t *p);
    uint32_t h_[8];
    uint64_t bytes_ = 0;
    uint8_t buf_[64];
    size_t used_ = 0;
};

} // namespace dvcli

#endif
