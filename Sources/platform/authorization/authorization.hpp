// Authorization services: an authorization reference, a request for rights on it (which, with
// interaction allowed, makes the system's security agent show its authentication dialog and
// blocks the calling thread until the dialog is answered), and freeing the reference. Status
// codes and flag values are the platform's.
//
// Implementations: `SimulatedAuthorization` (simulated_authorization.hpp: scripted answers
// and timing, tied to the tests' security agent through hooks) and `LinuxAuthorization`
// (authorization_linux.hpp: polkit, whose authentication agent shows the dialog).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform::authorization {

using OSStatus = std::int32_t;

inline constexpr OSStatus errAuthorizationSuccess = 0;
inline constexpr OSStatus errAuthorizationInvalidSet = -60001;
inline constexpr OSStatus errAuthorizationInvalidRef = -60002;
inline constexpr OSStatus errAuthorizationDenied = -60005;
inline constexpr OSStatus errAuthorizationCanceled = -60006;
inline constexpr OSStatus errAuthorizationInteractionNotAllowed = -60007;
inline constexpr OSStatus errAuthorizationInternal = -60008;

using Flags = std::uint32_t;
inline constexpr Flags kAuthorizationFlagDefaults = 0;
inline constexpr Flags kAuthorizationFlagInteractionAllowed = 1u << 0;
inline constexpr Flags kAuthorizationFlagExtendRights = 1u << 1;
inline constexpr Flags kAuthorizationFlagPartialRights = 1u << 2;
inline constexpr Flags kAuthorizationFlagDestroyRights = 1u << 3;
inline constexpr Flags kAuthorizationFlagPreAuthorize = 1u << 4;

// One right (or environment entry): a name, an optional value and item flags.
struct Item {
  std::string name;
  std::optional<std::string> value;
  std::uint32_t flags = 0;
  friend bool operator==(const Item&, const Item&) = default;
};
using ItemSet = std::vector<Item>;

// An authorization reference; 0 is no reference.
struct Reference {
  std::uint64_t value = 0;
  explicit operator bool() const { return value != 0; }
  friend bool operator==(const Reference&, const Reference&) = default;
};

class Authorization {
 public:
  virtual ~Authorization() = default;
  // Makes a reference, optionally asking for `rights` at once. `reference` receives it.
  virtual OSStatus create(const ItemSet* rights, const ItemSet* environment, Flags flags,
                          Reference* reference) = 0;
  // Asks for `rights` on `reference`. With interaction allowed this may show the
  // authentication dialog and returns when it is answered. `granted` (when given) receives
  // the rights obtained.
  virtual OSStatus copyRights(Reference reference, const ItemSet& rights, const ItemSet* environment,
                              Flags flags, ItemSet* granted) = 0;
  // Frees the reference; with kAuthorizationFlagDestroyRights the rights it holds go too.
  virtual OSStatus free(Reference reference, Flags flags) = 0;
};

// The installed implementation, else the Linux one (made on first use).
std::shared_ptr<Authorization> current();
void install(std::shared_ptr<Authorization> authorization);

}  // namespace platform::authorization
