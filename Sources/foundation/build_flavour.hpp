// Compile-time build flavour: the customer build, or the developer build that may select
// both recognition engines and carries the personal-use model.
#pragma once

#ifndef QUORVEL_DEVELOPER_BUILD
#define QUORVEL_DEVELOPER_BUILD 0
#endif

namespace quorvel {

struct BuildFlavour {
  BuildFlavour() = delete;
  static constexpr bool isDeveloper = QUORVEL_DEVELOPER_BUILD != 0;
  static constexpr const char* label = isDeveloper ? "developer" : "customer";
};

}  // namespace quorvel
