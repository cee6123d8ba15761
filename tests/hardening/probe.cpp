// SPDX-License-Identifier: MIT
// A program for the hardening check to judge: a stack buffer (which the
// stack protector guards) filled and cleared through fortifiable libc calls.
#include <string.h>

#include <cstdio>

int main(int argc, char** argv) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%s", argv[argc - 1]);
  const int first = buffer[0];
  explicit_bzero(buffer, sizeof buffer);
  return first == 0 ? 1 : 0;
}
