// Compiled once per layer with QV_PROBE_HEADER naming a header: one of the
// layer's own (which must compile) or one of a layer above or beside it
// (which must not be found).
#include QV_PROBE_HEADER
