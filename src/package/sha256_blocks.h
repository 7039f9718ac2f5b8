// SHA-256's compression of whole 64-byte blocks with the processor's SHA instructions.
#pragma once

#include <cstddef>
#include <cstdint>

// True when this processor has the SHA and SSE4.1 instructions sha256_blocks needs;
// asked of the processor once.
bool sha256_blocks_available();

// Folds `count` blocks of 64 bytes at `data` into `state` (A to H). Call it only when
// sha256_blocks_available(); it cannot fail.
void sha256_blocks(uint32_t state[8], const unsigned char* data, size_t count);
