// The user's preferences, read from and written to the standard user-defaults domain on
// every access; nothing is cached.
#pragma once

#include <memory>

#include "foundation/recognition_engine.hpp"
#include "platform/defaults/defaults.hpp"

namespace quorvel {

class Settings {
 public:
  static Settings& shared();

  explicit Settings(std::shared_ptr<platform::defaults::UserDefaults> defaults);

  bool unlockEnabled() const;
  void setUnlockEnabled(bool value);
  bool playAnimation() const;
  void setPlayAnimation(bool value);
  bool showInDock() const;
  void setShowInDock(bool value);
  bool palmToCancel() const;
  void setPalmToCancel(bool value);
  bool hasSeenWelcome() const;
  void setHasSeenWelcome(bool value);
  RecognitionEngine recognitionEngine() const;
  void setRecognitionEngine(RecognitionEngine engine);

  platform::defaults::UserDefaults& defaults() const { return *defaults_; }

 private:
  std::shared_ptr<platform::defaults::UserDefaults> defaults_;
};

}  // namespace quorvel
