#include "ext.hpp"

NB_MODULE(_ext, m) {
    m.doc() = "kernwerk's second native module: kernel sets and time scales (use the kernwerk package).";
    kernwerk::ext::register_errors(m);
    kernwerk::ext::register_kernel_set(m);
    kernwerk::ext::register_time(m);
    kernwerk::ext::register_apparent(m);
    kernwerk::ext::register_writer(m);
    kernwerk::ext::register_format(m);
    kernwerk::ext::register_conics(m);
    kernwerk::ext::register_files(m);
    kernwerk::ext::register_coordinates(m);
    kernwerk::ext::register_ck_writer(m);
    kernwerk::ext::register_fov(m);
    kernwerk::ext::register_events(m);
    // Attitude and clocks.
    kernwerk::ext::register_sclk(m);
    kernwerk::ext::register_ck(m);
    kernwerk::ext::register_surface(m);
    kernwerk::ext::register_dynamic(m);
}
