// Raw symbol names. The library's exported names contain dots and colons or start with a digit,
// which the assembler accepts only in quotes; VOCETTA_SYMBOL quotes a name for an asm label
// (clang, used for the fuzz build, quotes asm labels itself).
#pragma once

#if defined(__clang__)
#define VOCETTA_SYMBOL(name) __asm__(name)
#else
#define VOCETTA_SYMBOL(name) __asm__("\"" name "\"")
#endif
#define VOCETTA_EXPORT __attribute__((visibility("default")))
