// Base directories of the file jobs: the boot project directory and the numbered user paths.
#pragma once

#include <cstddef>
#include <cstdint>

// Copies the boot project directory into buf (cbBuf bytes); 1 on success, 0 (buf untouched) when it cannot be
// read or does not fit with its NUL.
int ReadBootPrjPath(char* buf, size_t cbBuf);
// Copies user path n ("UserPath<n>") into buf; 1 on success, 0 (buf untouched) otherwise.
int ReadUserPath(uint32_t n, char* buf, size_t cbBuf);
