// Corrected vectors for two-vector dynamic frames: installs the apparent
// states of geometry/apparent.hpp as the snapshot's source of light-time and
// aberration corrected states (sets/dynamic_states.hpp). Called once when
// the package is imported (and by tests that need corrected vectors).
#pragma once

namespace kernwerk {

void install_dynamic_frame_corrections() noexcept;

}  // namespace kernwerk
