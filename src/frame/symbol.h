// Raw symbol names. The library's exported names contain dots and colons or start with a digit,
// which the assembler accepts only in quotes; VOCETTA_SYMBOL quotes a name for an asm label.
#pragma once

#define VOCETTA_SYMBOL(name) __asm__("\"" name "\"")
#define VOCETTA_EXPORT __attribute__((visibility("default")))
