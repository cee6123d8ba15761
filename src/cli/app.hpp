// SPDX-License-Identifier: MIT
// The tarnwick-drives command: parses its command line into steps, confirms
// and gathers passphrases first, then runs every step in one helper session.
#pragma once

#include <string>

namespace tarnwick::cli {

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;        // an operation failed; the helper's text says why
inline constexpr int kExitUsage = 2;         // the command line is wrong
inline constexpr int kExitNotConfirmed = 3;  // not confirmed, or no way to ask
inline constexpr int kExitNoHelper = 4;      // the helper could not be started, was not
                                             // authorised, or ended unexpectedly

// The environment variable that names a helper to start directly.
inline constexpr const char* kHelperVariable = "TARNWICK_DRIVES_HELPER";

// Mapper names on the command line may leave out the prefix the helper
// requires, or be given as their /dev/mapper path.
std::string mapper_name_of(const std::string& argument);

int run(int argc, char** argv);

}  // namespace tarnwick::cli
