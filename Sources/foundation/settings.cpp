#include "foundation/settings.hpp"

#include <algorithm>

#include "platform/shared.hpp"

namespace quorvel {
namespace {
constexpr const char* kUnlockEnabled = "unlockEnabled";
constexpr const char* kPlayAnimation = "playAnimation";
constexpr const char* kShowInDock = "showInDock";
constexpr const char* kPalmToCancel = "palmToCancel";
constexpr const char* kHasSeenWelcome = "hasSeenWelcome";
constexpr const char* kRecognitionEngine = "recognitionEngine";
}  // namespace

Settings& Settings::shared() {
  static platform::SharedInstance<Settings> instance(
      [] { return std::make_shared<Settings>(platform::defaults::standard()); });
  return instance.get();
}

Settings::Settings(std::shared_ptr<platform::defaults::UserDefaults> defaults)
    : defaults_(std::move(defaults)) {
  defaults_->registerDefaults({{kUnlockEnabled, true},
                               {kPlayAnimation, true},
                               {kShowInDock, true},
                               {kPalmToCancel, true}});
}

bool Settings::unlockEnabled() const { return defaults_->boolForKey(kUnlockEnabled); }
void Settings::setUnlockEnabled(bool value) { defaults_->setBool(kUnlockEnabled, value); }
bool Settings::playAnimation() const { return defaults_->boolForKey(kPlayAnimation); }
void Settings::setPlayAnimation(bool value) { defaults_->setBool(kPlayAnimation, value); }
bool Settings::showInDock() const { return defaults_->boolForKey(kShowInDock); }
void Settings::setShowInDock(bool value) { defaults_->setBool(kShowInDock, value); }
bool Settings::palmToCancel() const { return defaults_->boolForKey(kPalmToCancel); }
void Settings::setPalmToCancel(bool value) { defaults_->setBool(kPalmToCancel, value); }
bool Settings::hasSeenWelcome() const { return defaults_->boolForKey(kHasSeenWelcome); }
void Settings::setHasSeenWelcome(bool value) { defaults_->setBool(kHasSeenWelcome, value); }

RecognitionEngine Settings::recognitionEngine() const {
  const auto stored = defaults_->stringForKey(kRecognitionEngine);
  if (!stored) return RecognitionEngine::dlib;
  const auto engine = recognition_engine::fromRawValue(*stored);
  if (!engine) return RecognitionEngine::dlib;
  const auto allowed = recognition_engine::selectable();
  if (std::find(allowed.begin(), allowed.end(), *engine) == allowed.end()) {
    return RecognitionEngine::dlib;
  }
  return *engine;
}

void Settings::setRecognitionEngine(RecognitionEngine engine) {
  defaults_->setString(kRecognitionEngine, rawValue(engine));
}

}  // namespace quorvel
