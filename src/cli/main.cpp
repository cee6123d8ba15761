// SPDX-License-Identifier: MIT
// tarnwick-drives: the command-line face of the client library.
#include "cli/app.hpp"

int main(int argc, char** argv) { return tarnwick::cli::run(argc, argv); }
