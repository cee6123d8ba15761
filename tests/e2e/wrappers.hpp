// SPDX-License-Identifier: MIT
// The test program doubles as the tool wrappers of the sandbox: bind-mounted
// over lsblk, dd, blkdiscard, cryptsetup, mkfs.* and mkswap inside the
// namespace, it recognises the tool by argv[0], checks that every device it
// is given is one of the sandbox's scratch devices, records the call and
// hands over to the real tool (or, without device-mapper in the kernel,
// simulates cryptsetup's open and close).
#pragma once

#include <optional>

namespace tdh_e2e {

// The exit status when argv[0] names a wrapped tool; nullopt otherwise (the
// program then runs the tests).
std::optional<int> run_as_tool(int argc, char** argv);

}  // namespace tdh_e2e
