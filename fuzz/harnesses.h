// The fuzz harnesses: receive ring contents, information requests,
// configuration, send buffer chains, each against a fresh host
// (tests/support/rig.h); and frames to the IPv4 host of host/net/
// (net_harness.cpp). Each runs one input and returns "" or what went wrong. Built into
// the libFuzzer programs (fuzz_main.cpp) and into test_reliability, which
// replays every input kept in fuzz/corpus/<name>/.
#ifndef FUZZ_HARNESSES_H
#define FUZZ_HARNESSES_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

std::string RingInput(const std::uint8_t* data, std::size_t size);
std::string OidInput(const std::uint8_t* data, std::size_t size);
std::string ConfigInput(const std::uint8_t* data, std::size_t size);
std::string SendInput(const std::uint8_t* data, std::size_t size);
std::string NetInput(const std::uint8_t* data, std::size_t size);

}  // namespace fuzz

#endif  // FUZZ_HARNESSES_H
