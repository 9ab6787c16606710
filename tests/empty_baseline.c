/* A shared library with no code of its own: what the toolchain alone puts
 * into .init_array and .fini_array. */
int kiv_empty_baseline;
