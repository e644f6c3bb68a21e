#include "platform/ml/simulated_ml.hpp"

namespace platform::ml {

class SimulatedRuntime::SimulatedModel : public Model {
 public:
  SimulatedModel(std::shared_ptr<State> state, std::string key, ModelConfiguration configuration)
      : state_(std::move(state)), key_(std::move(key)), configuration_(configuration) {}

  Result<FeatureProvider> prediction(const FeatureProvider& input) override {
    return state_->predict(key_, input);
  }
  ModelConfiguration configuration() const override { return configuration_; }

 private:
  std::shared_ptr<State> state_;
  std::string key_;
  ModelConfiguration configuration_;
};

void SimulatedRuntime::addModel(const std::string& key, Behaviour behaviour) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  Entry& entry = state_->entries[key];
  entry.loads = true;
  entry.behaviour = std::move(behaviour);
}

void SimulatedRuntime::addModel(const std::string& key, std::vector<float> values,
                                const std::string& name) {
  addModel(key, [values = std::move(values), name](const FeatureProvider&) -> Result<FeatureProvider> {
    auto array = MultiArray::make({1, static_cast<std::int64_t>(values.size())});
    if (!array) return Error{ErrorCode::generic, "cannot make the output"};
    for (std::size_t i = 0; i < values.size(); ++i) (*array)[i] = values[i];
    FeatureProvider output;
    output.set(name, std::move(*array));
    return output;
  });
}

void SimulatedRuntime::addFailingModel(const std::string& key, Error error) {
  addModel(key, [error](const FeatureProvider&) -> Result<FeatureProvider> { return error; });
}

void SimulatedRuntime::failLoading(const std::string& key, Error error) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  Entry& entry = state_->entries[key];
  entry.loads = false;
  entry.loadError = std::move(error);
}

void SimulatedRuntime::remove(const std::string& key) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->entries.erase(key);
}

void SimulatedRuntime::setLoadHook(std::function<void(const std::string& path)> hook) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->loadHook = std::move(hook);
}

std::vector<SimulatedRuntime::LoadAttempt> SimulatedRuntime::loadAttempts() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->attempts;
}

int SimulatedRuntime::predictionCount(const std::string& key) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  const auto found = state_->entries.find(key);
  return found == state_->entries.end() ? 0 : found->second.predictions;
}

FeatureProvider SimulatedRuntime::lastInput(const std::string& key) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  const auto found = state_->entries.find(key);
  return found == state_->entries.end() ? FeatureProvider() : found->second.lastInput;
}

std::string SimulatedRuntime::State::keyFor(const std::string& path) const {
  if (entries.count(path)) return path;
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const std::size_t slash = trimmed.rfind('/');
  return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

Result<std::shared_ptr<Model>> SimulatedRuntime::loadModel(const std::string& path,
                                                           const ModelConfiguration& configuration) {
  std::function<void(const std::string&)> hook;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    hook = state_->loadHook;
  }
  if (hook) hook(path);
  std::lock_guard<std::mutex> lock(state_->mutex);
  const std::string key = state_->keyFor(path);
  const auto found = state_->entries.find(key);
  LoadAttempt attempt{path, configuration, false};
  if (found == state_->entries.end()) {
    state_->attempts.push_back(attempt);
    return Error{ErrorCode::io, "No model folder at " + path};
  }
  if (!found->second.loads) {
    state_->attempts.push_back(attempt);
    return found->second.loadError;
  }
  attempt.loaded = true;
  state_->attempts.push_back(attempt);
  return std::shared_ptr<Model>(std::make_shared<SimulatedModel>(state_, key, configuration));
}

Result<FeatureProvider> SimulatedRuntime::State::predict(const std::string& key,
                                                         const FeatureProvider& input) {
  Behaviour behaviour;
  {
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = entries.find(key);
    if (found == entries.end()) return Error{ErrorCode::generic, "The model " + key + " is gone"};
    found->second.predictions += 1;
    found->second.lastInput = input;
    behaviour = found->second.behaviour;
  }
  if (!behaviour) return Error{ErrorCode::generic, "The model " + key + " has no behaviour"};
  // Outside the lock, so that a behaviour may block or call back into the runtime.
  return behaviour(input);
}

}  // namespace platform::ml
