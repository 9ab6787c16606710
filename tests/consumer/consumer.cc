// The same client, compiled as C++17.
#include "consumer.c"
