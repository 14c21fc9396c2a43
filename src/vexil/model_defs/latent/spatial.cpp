// vexil.model_defs.latent.spatial: the MODELS table of this module's latent models.
#include "spatial_data.hpp"

namespace {

void exec(vexil::bind::ModuleBuilder& m) {
  using namespace vexil::catalogue;
  m.import("numpy", "np");
  m.set("MODELS", make_models(m, kSpatialModels, [](const Model&) -> vexil::bind::Ref { return {}; }));
}

}  // namespace

VEXIL_MODULE(spatial, vexil::catalogue::kSpatialDoc, exec)
