// Watches what this test executable gives back to the heap: while armed, every block freed
// through operator delete is searched for the watched byte strings before it goes, so a test
// can tell whether a secret was released without being wiped. (The executable's operator
// new and delete are replaced for this; C allocations, such as PAM's, are not watched.)
#pragma once

#include <string>
#include <vector>

namespace quorvel::testing::freed_memory {

void watch(const std::vector<std::string>& secrets);
// Stops watching; returns how many freed blocks held a watched string.
int stop();

}  // namespace quorvel::testing::freed_memory
