// Keys that no input can foresee, for hash tables that hold what a file
// (a manifest) chose: with an unknown key, no one can choose texts that
// all fall into one slot and make each look-up walk them all.
#ifndef DISC_MANIFEST_PLATFORM_RANDOM_KEY_H_
#define DISC_MANIFEST_PLATFORM_RANDOM_KEY_H_

#include <stdint.h>

/// 64 random bits: the system's randomness, else the clock and an address.
uint64_t random_key();

#endif  // DISC_MANIFEST_PLATFORM_RANDOM_KEY_H_
