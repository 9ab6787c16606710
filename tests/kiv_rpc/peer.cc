// The peer and the fast clock of the registration tests, in this binary too.
#include "kiv_xtach/peer.cc"
