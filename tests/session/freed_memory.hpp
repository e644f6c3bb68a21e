// Watches what this test executable gives back to the heap: while watching, every block
// freed through operator delete (replaced here for the executable) is searched for the
// watched byte strings, so a test can tell whether a secret was released without being wiped.
// C allocations, such as PAM's, are not watched.
#pragma once

#include <string>
#include <vector>

namespace quorvel::testing::freed_memory {

// The strings must stay alive (and unfreed) until `stop()`.
void watch(const std::vector<std::string>& secrets);
// Stops watching; returns how many freed blocks held a watched string.
int stop();

}  // namespace quorvel::testing::freed_memory
