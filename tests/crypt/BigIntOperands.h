#pragma once

// Operands of a given number of limbs in the shapes that find faults in
// big-number code, from a fixed seed so that every run sees the same ones.

#include "crypt/BigIntCore.h"

#include <cstdint>
#include <random>

class Operands {
  public:
    // A magnitude of exactly n limbs in one of several shapes: random, all
    // ones (carry chains), a lone top bit, random with zero runs.
    void make(LumenCryptMini::BigIntCore& r, int n, bool negative = false)
    {
        r.reserve(n, false);
        const unsigned shape = next() % 4;
        for (int i = 0; i < n; ++i) {
            std::uint32_t limb = static_cast<std::uint32_t>(next());
            if (shape == 1) {
                limb = 0xFFFFFFFF;
            } else if (shape == 2) {
                limb = i == n - 1 ? 1u << (next() % 32) : 0;
            } else if (shape == 3 && next() % 3 == 0) {
                limb = 0;
            }
            r.limbs[i] = limb;
        }
        if (n > 0 && r.limbs[n - 1] == 0) {
            r.limbs[n - 1] = 1;
        }
        r.used = static_cast<std::uint16_t>(n);
        r.negative = negative;
    }
    std::uint64_t next() { return engine(); }

  private:
    std::mt19937_64 engine{20240601};
};

// A zero top leaves n as it is.
inline void setTopLimb(LumenCryptMini::BigIntCore& n, std::uint32_t top)
{
    if (n.used > 0 && top != 0) {
        n.limbs[n.used - 1] = top;
    }
}
