// SPDX-License-Identifier: Apache-2.0
#pragma once
// For tests only: reaches inside the engine, which front ends never do
// (scripts/check-architecture.sh keeps this header out of src/ but engine/).
#include "engine/engine.h"
#include "engine/pelmo.h"

namespace quorvel {

class EngineProbe {
 public:
  explicit EngineProbe(Engine& engine) : engine_(engine) {}
  TPelmo& Pelmo() { return *engine_.pelmo_; }

 private:
  Engine& engine_;
};

}  // namespace quorvel
