// SPDX-License-Identifier: MIT
// list_drives against a fake "lsblk" placed first on PATH.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "inventory/inventory.hpp"
#include "support/support.hpp"

namespace tarnwick::inventory {
namespace {

class ListDrives : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("PATH");
    saved_path_ = old != nullptr ? std::optional<std::string>(old) : std::nullopt;
  }
  void TearDown() override {
    if (saved_path_) {
      setenv("PATH", saved_path_->c_str(), 1);
    } else {
      unsetenv("PATH");
    }
  }

  // The fake tool runs under /bin/sh; only the helper itself avoids shells.
  void install_lsblk(const std::string& body) {
    const std::string script = bin_.write_file("lsblk", "#!/bin/sh\n" + body);
    ASSERT_EQ(chmod(script.c_str(), 0755), 0);
    use_only_fake_bin(false);
  }
  void use_only_fake_bin(bool alone) {
    const std::string path =
        alone ? bin_.path() : bin_.path() + ":" + saved_path_.value_or("/usr/bin:/bin");
    setenv("PATH", path.c_str(), 1);
  }
  std::string display_of_failure() {
    auto result = list_drives();
    if (result) {
      ADD_FAILURE() << "list_drives succeeded";
      return {};
    }
    return result.error().display();
  }

  testing::TempDir bin_;
  std::optional<std::string> saved_path_;
};

TEST_F(ListDrives, PassesTheColumnsAndReducesTheOutput) {
  const std::string args_file = bin_.file("args");
  install_lsblk(
      "printf '%s\\n' \"$@\" > '" + args_file +
      "'\n"
      "cat <<'JSON'\n"
      "{\"blockdevices\":[{\"name\":\"loop0\",\"path\":\"/dev/loop0\",\"type\":\"loop\"},\n"
      " {\"name\":\"sdb\",\"path\":\"/dev/sdb\",\"type\":\"disk\",\"rm\":true,\n"
      "  \"children\":[{\"name\":\"sdb1\",\"path\":\"/dev/sdb1\",\"type\":\"part\"}]}]}\n"
      "JSON\n");
  auto drives = list_drives();
  ASSERT_TRUE(drives) << drives.error().display();
  Drive expected;
  expected.path = "/dev/sdb";
  expected.removable = true;
  expected.partitions = {Partition{"/dev/sdb1", std::nullopt, std::nullopt}};
  Drive loop;
  loop.path = "/dev/loop0";
  EXPECT_EQ(*drives, (Snapshot{{expected}, {loop}}));

  std::string recorded_args;
  for (const std::string& arg : lsblk_arguments()) {
    recorded_args += arg + "\n";
  }
  FILE* file = std::fopen(args_file.c_str(), "re");
  ASSERT_NE(file, nullptr);
  std::string actual(4096, '\0');
  actual.resize(std::fread(actual.data(), 1, actual.size(), file));
  std::fclose(file);
  EXPECT_EQ(actual, recorded_args);
}

TEST_F(ListDrives, StandardInputIsTheNullDevice) {
  install_lsblk("if [ -n \"$(cat)\" ]; then exit 9; fi\necho '{\"blockdevices\":[]}'\n");
  auto drives = list_drives();
  ASSERT_TRUE(drives) << drives.error().display();
  EXPECT_EQ(*drives, Snapshot{});
}

TEST_F(ListDrives, FailuresCarryTheFixedTexts) {
  struct Case {
    const char* script;
    const char* display;
  };
  const Case cases[] = {
      {"printf 'bad column\\n' >&2\nexit 2\n", "command `lsblk -J` failed (exit 2): bad column\n"},
      {"printf 'dying\\n' >&2\nkill -KILL $$\n", "command `lsblk -J` failed (exit -1): dying\n"},
      {"printf 'a\\377b' >&2\nexit 1\n",
       "command `lsblk -J` failed (exit 1): a\xEF\xBF\xBD"
       "b"},
  };
  for (const Case& c : cases) {
    install_lsblk(c.script);
    EXPECT_EQ(display_of_failure(), c.display) << c.script;
  }
}

TEST_F(ListDrives, UnparsableOutputIsAParseFailure) {
  for (const char* output : {"", "not json", "{\"blockdevices\":[{\"path\":\"/dev/sdb\"}]}"}) {
    install_lsblk(std::string("printf '%s' '") + output + "'\n");
    auto result = list_drives();
    ASSERT_FALSE(result) << output;
    EXPECT_TRUE(std::holds_alternative<HelperError::LsblkParse>(result.error().value)) << output;
    EXPECT_TRUE(result.error().display().starts_with("failed to parse lsblk output: "))
        << result.error().display();
  }
}

TEST_F(ListDrives, MissingToolIsToolNotFound) {
  use_only_fake_bin(true);
  EXPECT_EQ(display_of_failure(), "required tool not found in PATH: lsblk");
  EXPECT_EQ(LsblkDriveLister{}.list_drives().error(),
            HelperError{HelperError::ToolNotFound{"lsblk"}});
}

}  // namespace
}  // namespace tarnwick::inventory
