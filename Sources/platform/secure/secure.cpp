#include "platform/secure/secure.hpp"

#include <string.h>

namespace platform::secure {

void wipe(void* data, std::size_t size) {
  if (data && size > 0) ::explicit_bzero(data, size);
}

}  // namespace platform::secure
