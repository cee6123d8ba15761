// SPDX-License-Identifier: MIT
// One fresh `lsblk` run per snapshot. Its standard input is the null device:
// the helper's own standard input carries the client's requests.
#include "inventory/inventory.hpp"
#include "text/text.hpp"

namespace tarnwick::inventory {

std::expected<Snapshot, HelperError> list_drives() {
  auto process = runner::run_process("lsblk", lsblk_arguments(), runner::StdinSource::NullDevice);
  if (!process) {
    return std::unexpected(std::move(process.error()));
  }
  if (process->exit_code != 0) {
    // The short command text is what clients have always been shown.
    return std::unexpected(HelperError{HelperError::CommandFailed{
        "lsblk -J", text::decode_utf8_lossy(process->stderr_bytes), process->exit_code}});
  }
  auto root = decode_lsblk(process->stdout_bytes);
  if (!root) {
    return std::unexpected(HelperError{HelperError::LsblkParse{std::move(root.error())}});
  }
  return Snapshot{reduce_drives(*root), reduce_loop_devices(*root)};
}

std::expected<Snapshot, HelperError> LsblkDriveLister::list_drives() const {
  return inventory::list_drives();
}

}  // namespace tarnwick::inventory
