// Pixel loops built twice: for AVX2 and for any x86-64 (or whatever the target is), the AVX2 one
// chosen when the program starts on a processor that has it. The loops are written so that the
// compiler vectorises them; eight floats at a time instead of four halves their time.
#pragma once

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && \
    !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define TRELVO_PIXEL_LOOP __attribute__((target_clones("avx2", "default")))
#else
#define TRELVO_PIXEL_LOOP
#endif
