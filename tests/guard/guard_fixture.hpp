// SPDX-License-Identifier: MIT
// A fixture tree standing in for /dev, /proc and /etc: device nodes are
// plain files, by-id and by-uuid entries are symbolic links, the tables are
// files the tests fill.
#pragma once

#include <gtest/gtest.h>

#include "guard/guard.hpp"
#include "support/support.hpp"

namespace tarnwick::guard::fixture {

class GuardTree : public ::testing::Test {
 protected:
  GuardTree();

  // The fixture path of a device node such as "sdb1" (created on demand).
  std::string dev(const std::string& name) const;
  // Creates dev/disk/by-id/<name> pointing at dev/<device>.
  std::string by_id(const std::string& name, const std::string& device) const;
  std::string by_uuid(const std::string& uuid, const std::string& device) const;

  void write_mounts(const std::string& text) const { tree_.write_file("proc/mounts", text); }
  void write_swaps(const std::string& text) const { tree_.write_file("proc/swaps", text); }
  void write_crypttab(const std::string& text) const { tree_.write_file("etc/crypttab", text); }

  // A removable, writable drive "sdb" with partitions sdb1 and sdb2.
  inventory::Drive usb_drive() const;

  GuardContext context() const { return GuardContext{lister_, paths_}; }
  std::expected<GuardReport, HelperError> guard(std::string_view device) const {
    return guard_drive(context(), device);
  }

  testing::TempDir tree_;
  std::string root_;  // canonical form of the tree's directory
  system::SystemPaths paths_;
  testing::FixedDriveLister lister_{{}};
};

}  // namespace tarnwick::guard::fixture
