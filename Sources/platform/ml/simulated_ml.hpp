// A scriptable runtime for tests: models are registered under a key (a model folder's full
// path, or just its last component such as "MiniFAS.mlpackage") with what their predictions
// answer, or with the error their load answers. Every load attempt and prediction is
// recorded. A path that matches no key fails to load as a missing folder does.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ml/ml.hpp"

namespace platform::ml {

class SimulatedRuntime : public Runtime {
 public:
  using Behaviour = std::function<Result<FeatureProvider>(const FeatureProvider& input)>;

  // A model that loads and answers with `behaviour`. Re-registering a key changes what the
  // already loaded models of that key answer.
  void addModel(const std::string& key, Behaviour behaviour);
  // A model that loads and answers one multi-array feature `name` of shape [1, n] holding
  // `values`.
  void addModel(const std::string& key, std::vector<float> values,
                const std::string& name = "output");
  // A model that loads but whose predictions fail with `error`.
  void addFailingModel(const std::string& key, Error error);
  // Loading `key` fails with `error`.
  void failLoading(const std::string& key, Error error);
  // Forgets `key`: its load fails as a missing folder; loaded models of it fail to predict.
  void remove(const std::string& key);

  // Runs at the start of every load, on the loading thread and outside the runtime's lock,
  // with the path asked for: a test can hold a load there (for example to let a second
  // thread arrive while the first is still loading). Empty: nothing runs.
  void setLoadHook(std::function<void(const std::string& path)> hook);

  struct LoadAttempt {
    std::string path;
    ModelConfiguration configuration;
    bool loaded = false;
  };
  std::vector<LoadAttempt> loadAttempts() const;
  // Predictions asked of models of `key` (failed ones included).
  int predictionCount(const std::string& key) const;
  // The last input given to a model of `key` (empty when none yet).
  FeatureProvider lastInput(const std::string& key) const;

  Result<std::shared_ptr<Model>> loadModel(const std::string& path,
                                           const ModelConfiguration& configuration) override;

 private:
  class SimulatedModel;
  struct Entry {
    bool loads = true;
    Error loadError;
    Behaviour behaviour;
    int predictions = 0;
    FeatureProvider lastInput;
  };
  // Shared with the loaded models, which may outlive the runtime.
  struct State {
    mutable std::mutex mutex;
    std::map<std::string, Entry> entries;
    std::vector<LoadAttempt> attempts;
    std::function<void(const std::string& path)> loadHook;
    // The key `path` answers to: itself, else its last component (under `mutex`).
    std::string keyFor(const std::string& path) const;
    Result<FeatureProvider> predict(const std::string& key, const FeatureProvider& input);
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace platform::ml
