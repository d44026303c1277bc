// Bindings of the kernel set.
#include "ext.hpp"

namespace kernwerk::ext {

void register_kernel_set(nb::module_&) {}

}  // namespace kernwerk::ext
