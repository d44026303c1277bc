"""Golden digests of the SPK and PCK results and the cases that produce them."""
