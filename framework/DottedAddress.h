#pragma once
// Dotted IPv4 addresses, read without Windows so that decoders that compare
// them build natively too.
#include <cstdint>
#include <string>

// Parses "a.b.c.d" with each part 0..255 (at most three digits); false for
// anything else. The address comes back in host order, a first.
bool ParseDottedAddress(const char* text, std::uint32_t* address);
// "a.b.c.d" of an address in host order; "" for 0, which names no host.
std::string DottedText(std::uint32_t address);
// Dotted addresses compare as addresses, anything else as text.
bool SameAddress(const std::string& a, const std::string& b);
