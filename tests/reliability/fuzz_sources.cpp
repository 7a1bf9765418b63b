// The fuzz harnesses, built into this test program too: the seed corpora
// and every input a fuzzer ever found run in the normal suite
// (regression_test.cpp).
#include "fuzz/harnesses.cpp"
#include "fuzz/net_harness.cpp"
