// The registration tests' fast clock, in this binary too.
#include "kiv_xtach/time_seam.cc"
