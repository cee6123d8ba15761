// SPDX-License-Identifier: MIT
// Small helpers of the client and command tests: a temporary directory that
// removes itself, and files and scripts written into it.
#pragma once

#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace tdh_client_test {

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/tdh-client-test-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
      throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
  }
  ~TempDir() {
    ::nftw(
        path_.c_str(),
        [](const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }, 16,
        FTW_DEPTH | FTW_PHYS);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void write_file(const std::string& path, const std::string& text, mode_t mode = 0644) {
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) {
      throw std::runtime_error("cannot write " + path);
    }
  }
  ::chmod(path.c_str(), mode);
}

// A shell script: the fakes stand in for the helper, pkexec and lsblk.
inline std::string write_script(const std::string& path, const std::string& body) {
  write_file(path, "#!/bin/sh\n" + body, 0755);
  return path;
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace tdh_client_test
