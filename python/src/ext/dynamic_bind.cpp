// Dynamic frames need nothing bound of their own: they are reached by name
// through every frame query. Importing the module installs the geometry
// layer's corrected states for their aberration-corrected vectors.
#include "ext.hpp"
#include "geometry/frame_corrections.hpp"

namespace kernwerk::ext {

void register_dynamic(nanobind::module_&) { install_dynamic_frame_corrections(); }

}  // namespace kernwerk::ext
