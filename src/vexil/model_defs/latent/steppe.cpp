// vexil.model_defs.latent.steppe: the MODELS table of this module's latent models.
#include "steppe_data.hpp"

namespace {

void exec(vexil::bind::ModuleBuilder& m) {
  using namespace vexil::catalogue;
  m.import("numpy", "np");
  m.set("MODELS", make_models(m, kSteppeModels, [](const Model&) -> vexil::bind::Ref { return {}; }));
}

}  // namespace

VEXIL_MODULE(steppe, vexil::catalogue::kSteppeDoc, exec)
