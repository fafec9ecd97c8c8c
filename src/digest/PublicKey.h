#pragma once
#include <array>
#include <cstdint>

// An ECDSA P-256 public key: the point's X || Y, big-endian.
using PublicKey = std::array<uint8_t, 64>;
