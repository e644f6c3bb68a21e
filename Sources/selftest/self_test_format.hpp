// Number texts used in the self-test's details.
#pragma once

#include <string>

namespace quorvel::self_test_format {

// printf's "%.4f".
std::string fixed4(double value);
// The shortest decimal text that reads back as the same double (0.5, 0.42, 0.55).
std::string shortest(double value);
// The same for a 32-bit float.
std::string shortest(float value);

}  // namespace quorvel::self_test_format
