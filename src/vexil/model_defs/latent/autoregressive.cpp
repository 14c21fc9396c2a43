// vexil.model_defs.latent.autoregressive: the MODELS table of this module's latent models.
#include "autoregressive_data.hpp"

namespace {

void exec(vexil::bind::ModuleBuilder& m) {
  using namespace vexil::catalogue;
  m.import("numpy", "np");
  m.set("MODELS", make_models(m, kAutoregressiveModels, [](const Model&) -> vexil::bind::Ref { return {}; }));
}

}  // namespace

VEXIL_MODULE(autoregressive, vexil::catalogue::kAutoregressiveDoc, exec)
