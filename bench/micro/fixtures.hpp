// SPDX-License-Identifier: MIT
// Inputs for the microbenchmarks: request lines as a client writes them, and
// an `lsblk` document as a workstation with many drives prints it.
#pragma once

#include <cstddef>
#include <string>

namespace tdh_bench {

// One typical request line per operation (no line feed).
std::string wipe_request();
std::string luks_format_request();
std::string luks_open_request();
std::string luks_close_request();
std::string mkfs_request();
std::string shutdown_request();

// A "luks-format" whose passphrase_b64 fills the line to `line_bytes`
// (without its line feed): the largest request the helper accepts.
std::string large_passphrase_request(std::size_t line_bytes);
// A "wipe" with an ignored member holding many small numbers, `line_bytes`
// long: structure rather than one long string.
std::string large_ignored_member_request(std::size_t line_bytes);

// Base64 text of exactly `bytes` characters (a multiple of 4).
std::string base64_text(std::size_t bytes);

// `lsblk -J -b -o <the helper's columns>` output for `drives` disks: two
// internal disks (one carrying root, /boot/efi and an opened /home
// container), the rest USB drives with one or two partitions, some of them
// opened containers, some mounted. Laid out as util-linux 2.38 prints it.
std::string lsblk_document(std::size_t drives);

}  // namespace tdh_bench
