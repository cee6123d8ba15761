// SPDX-License-Identifier: MIT
#include "e2e/harness.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/blkpg.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/swap.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <thread>

namespace tdh_e2e {

namespace {

constexpr const char* kToolDirs[] = {"/usr/sbin", "/usr/bin", "/sbin", "/bin"};
constexpr const char* kToolPath = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";

[[noreturn]] void fail(const std::string& message) { throw std::runtime_error(message); }

[[noreturn]] void fail_errno(const std::string& what) { fail(errno_message(what, errno)); }

std::string dev_text(dev_t dev) {
  return std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
}

dev_t parse_dev(const std::string& text) {
  unsigned maj = 0;
  unsigned min = 0;
  if (std::sscanf(text.c_str(), "%u:%u", &maj, &min) != 2) {
    fail("bad device number: " + text);
  }
  return makedev(maj, min);
}

std::string self_exe() {
  char buffer[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) {
    fail_errno("readlink /proc/self/exe");
  }
  return std::string(buffer, static_cast<std::size_t>(n));
}

// For forked children that never exec: drop every inherited descriptor but
// the ones they need, so that no pipe of another session stays open in them.
void close_other_fds(std::vector<int> keep) {
  std::sort(keep.begin(), keep.end());
  unsigned next = 3;
  for (int fd : keep) {
    if (fd >= static_cast<int>(next)) {
      if (static_cast<unsigned>(fd) > next) {
        ::close_range(next, static_cast<unsigned>(fd) - 1, 0);
      }
      next = static_cast<unsigned>(fd) + 1;
    }
  }
  ::close_range(next, ~0U, 0);
}

void kill_by_pidfd(const Fd& pidfd) {
  if (pidfd) {
    ::syscall(SYS_pidfd_send_signal, pidfd.get(), SIGKILL, nullptr, 0);
  }
}

void wait_child(pid_t pid, int* status) {
  while (::waitpid(pid, status, 0) < 0) {
    if (errno != EINTR) {
      *status = -1;
      return;
    }
  }
}

std::vector<char*> c_strings(const std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (const auto& s : strings) {
    out.push_back(const_cast<char*>(s.c_str()));
  }
  out.push_back(nullptr);
  return out;
}

// Starts argv inside the namespace given by the two namespace descriptors.
// Our direct child enters the namespaces and forks the program (entering a
// pid namespace only applies to children), then waits for it and exits with
// its status; the program's host pid comes back over a pipe.
struct Spawned {
  pid_t waiter = -1;
  pid_t pid = -1;
  Fd pidfd;  // signals through it can never reach a recycled pid
  Fd in;
  Fd out;
  Fd err;
};

Spawned spawn_inside(int mnt_ns, int pid_ns, const std::vector<std::string>& argv,
                     const std::vector<std::string>& env) {
  std::vector<std::string> candidates;
  if (argv.at(0).find('/') != std::string::npos) {
    candidates.push_back(argv[0]);
  } else {
    for (const char* dir : kToolDirs) {
      candidates.push_back(std::string(dir) + "/" + argv[0]);
    }
  }
  std::vector<char*> c_argv = c_strings(argv);
  std::vector<char*> c_env = c_strings(env);
  Pipe in = Pipe::make();
  Pipe out = Pipe::make();
  Pipe err = Pipe::make();
  Pipe pid_pipe = Pipe::make();
  const pid_t parent = ::getpid();

  pid_t waiter = ::fork();
  if (waiter < 0) {
    fail_errno("fork");
  }
  if (waiter == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) {
      ::_exit(126);
    }
    close_other_fds(
        {mnt_ns, pid_ns, in.read.get(), out.write.get(), err.write.get(), pid_pipe.write.get()});
    if (::setns(mnt_ns, CLONE_NEWNS) != 0 || ::setns(pid_ns, CLONE_NEWPID) != 0) {
      const char msg[] = "e2e: setns failed\n";
      (void)!::write(err.write.get(), msg, sizeof msg - 1);
      ::_exit(126);
    }
    pid_t child = ::fork();
    if (child == 0) {
      // A process group of its own, as a terminal gives a job: a test can
      // signal the program and its tools together without hitting itself.
      (void)::setpgid(0, 0);
      ::signal(SIGPIPE, SIG_DFL);
      ::dup2(in.read.get(), 0);
      ::dup2(out.write.get(), 1);
      ::dup2(err.write.get(), 2);
      if (::chdir("/") != 0) {
        ::_exit(127);
      }
      for (const auto& candidate : candidates) {
        ::execve(candidate.c_str(), c_argv.data(), c_env.data());
      }
      const char msg[] = "e2e: exec failed\n";
      (void)!::write(2, msg, sizeof msg - 1);
      ::_exit(127);
    }
    (void)!::write(pid_pipe.write.get(), &child, sizeof child);
    if (child < 0) {
      ::_exit(126);
    }
    // Close our copies so the parent sees end of file when the program ends.
    close_other_fds({});
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    ::_exit(exit_code_of(status) & 0xff);
  }
  in.read.reset();
  out.write.reset();
  err.write.reset();
  pid_pipe.write.reset();
  pid_t child = -1;
  ssize_t got = ::read(pid_pipe.read.get(), &child, sizeof child);
  if (got != static_cast<ssize_t>(sizeof child) || child <= 0) {
    int status = 0;
    wait_child(waiter, &status);
    fail("could not start " + argv[0] + " inside the namespace");
  }
  Fd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, child, 0)));
  return Spawned{waiter,
                 child,
                 std::move(pidfd),
                 std::move(in.write),
                 std::move(out.read),
                 std::move(err.read)};
}

// The master boot record of a drive with one Linux partition from 1 MiB to
// the end: what lsblk and blkid expect to find, although this kernel has no
// partition-table parser and the harness adds the partition itself.
std::string mbr_with_one_partition(std::uint64_t size) {
  std::string mbr(512, '\0');
  auto put32 = [&](std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
      mbr[at + static_cast<std::size_t>(i)] = static_cast<char>((value >> (8 * i)) & 0xff);
    }
  };
  put32(440, 0x7d4e2e01);  // disk signature
  mbr[446 + 4] = static_cast<char>(0x83);
  put32(446 + 8, 2048);
  put32(446 + 12, static_cast<std::uint32_t>(size / 512 - 2048));
  mbr[510] = static_cast<char>(0x55);
  mbr[511] = static_cast<char>(0xaa);
  return mbr;
}

void make_image(const std::string& path, const DriveSpec& described) {
  Fd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!fd) {
    fail_errno("create " + path);
  }
  if (::ftruncate(fd.get(), static_cast<off_t>(described.size)) != 0) {
    fail_errno("truncate " + path);
  }
  if (described.pattern) {
    std::string chunk;
    for (std::uint64_t offset = 0; offset < described.size;) {
      chunk.clear();
      while (chunk.size() < layout::kMiB && offset + chunk.size() < described.size) {
        chunk += pattern_block(offset + chunk.size());
      }
      if (::pwrite(fd.get(), chunk.data(), chunk.size(), static_cast<off_t>(offset)) !=
          static_cast<ssize_t>(chunk.size())) {
        fail_errno("fill " + path);
      }
      offset += chunk.size();
    }
  }
  if (described.partition) {
    std::string mbr = mbr_with_one_partition(described.size);
    if (::pwrite(fd.get(), mbr.data(), mbr.size(), 0) != static_cast<ssize_t>(mbr.size())) {
      fail_errno("write partition table " + path);
    }
  }
  if (::fsync(fd.get()) != 0) {
    fail_errno("fsync " + path);
  }
}

constexpr const char* kScratchRoot = "/var/tmp";
constexpr std::string_view kScratchPrefix = "tdh-e2e.";

void remove_scratch_dir(const std::string& dir) {
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* entry = ::readdir(d)) {
      std::string name = entry->d_name;
      if (name.starts_with("tmpfs-")) {
        // Lazily: the loop device may still hold its image for a moment.
        ::umount2((dir + "/" + name).c_str(), MNT_DETACH);
        ::rmdir((dir + "/" + name).c_str());
      } else if (name != "." && name != "..") {
        ::unlink((dir + "/" + name).c_str());
      }
    }
    ::closedir(d);
  }
  ::rmdir(dir.c_str());
}

// A test process killed outright (a ctest timeout sends SIGKILL) takes its
// namespace along, but not a swap area it had switched on, which keeps its
// loop device attached. Each sandbox holds a lock on its scratch folder; a
// folder whose lock is free belongs to a dead run, and what it left is
// switched off, detached and removed here.
void clear_stale_sandboxes() {
  static bool done = false;
  if (done) {
    return;
  }
  done = true;
  std::vector<std::string> stale;
  if (DIR* d = ::opendir(kScratchRoot)) {
    while (dirent* entry = ::readdir(d)) {
      std::string name = entry->d_name;
      if (!name.starts_with(kScratchPrefix)) {
        continue;
      }
      std::string dir = std::string(kScratchRoot) + "/" + name;
      Fd lock(::open((dir + "/lock").c_str(), O_RDWR | O_CLOEXEC));
      if (lock && ::flock(lock.get(), LOCK_EX | LOCK_NB) == 0) {
        stale.push_back(dir);
      }
    }
    ::closedir(d);
  }
  for (const auto& dir : stale) {
    if (DIR* d = ::opendir("/sys/block")) {
      while (dirent* entry = ::readdir(d)) {
        std::string name = entry->d_name;
        auto backing = try_read_file("/sys/block/" + name + "/loop/backing_file");
        if (!name.starts_with("loop") || !backing || !backing->starts_with(dir + "/")) {
          continue;
        }
        std::string device = "/dev/" + name;
        ::swapoff((device + "p1").c_str());
        ::swapoff(device.c_str());
        Fd fd(::open(device.c_str(), O_RDONLY | O_CLOEXEC));
        if (fd) {
          ::ioctl(fd.get(), LOOP_CLR_FD);
        }
      }
      ::closedir(d);
    }
    remove_scratch_dir(dir);
  }
}

// --- the namespace's init process -------------------------------------------

struct Node {
  std::string path;
  mode_t mode;
  dev_t dev;
};

struct NamespacePlan {
  std::vector<Node> nodes;
  std::vector<std::pair<std::string, std::string>> links;  // link, target
  std::string config;
  std::optional<std::string> crypttab;
  std::string wrapper;
  std::optional<unsigned> dm_control_minor;
};

std::optional<unsigned> device_mapper_minor() {
  auto misc = try_read_file("/proc/misc");
  if (!misc) {
    return std::nullopt;
  }
  std::size_t at = misc->find(" device-mapper\n");
  if (at == std::string::npos) {
    return std::nullopt;
  }
  std::size_t start = misc->rfind('\n', at);
  start = start == std::string::npos ? 0 : start + 1;
  return static_cast<unsigned>(std::stoul(misc->substr(start, at - start)));
}

void check(int rc, const std::string& what) {
  if (rc != 0) {
    fail_errno(what);
  }
}

void make_dirs(const std::string& path, mode_t mode = 0755) {
  std::size_t at = 1;
  while (at != std::string::npos) {
    at = path.find('/', at + 1);
    std::string prefix = path.substr(0, at);
    if (::mkdir(prefix.c_str(), mode) != 0 && errno != EEXIST) {
      fail_errno("mkdir " + prefix);
    }
  }
}

void bind_mount(const std::string& source, const std::string& target) {
  check(::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr),
        "bind " + source + " on " + target);
}

// Runs in the namespace's first process. Everything it mounts disappears
// with the namespace, whatever happens to the test.
void build_namespace(const NamespacePlan& plan) {
  check(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), "make / private");
  check(::mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr), "mount /proc");
  check(::mount("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755"), "mount /run");
  const std::string state(layout::kStateDir);
  make_dirs(std::string(layout::kRealDir), 0700);
  make_dirs(std::string(layout::kMountDir), 0700);
  make_dirs("/run/cryptsetup", 0700);
  write_file(std::string(layout::kConfig), plan.config, 0600);
  write_file(std::string(layout::kCallLog), "", 0600);

  // Keep the real tools reachable, then cover them with the wrapper. Two
  // passes, so a tool whose file another tool shares is never saved as the
  // wrapper.
  std::vector<std::string> covered;
  for (std::string_view tool : layout::kWrappedTools) {
    std::optional<std::string> real;
    for (const char* dir : kToolDirs) {
      real = canonical(std::string(dir) + "/" + std::string(tool));
      if (real) {
        break;
      }
    }
    if (!real) {
      continue;
    }
    std::string saved = std::string(layout::kRealDir) + "/" + std::string(tool);
    write_file(saved, "", 0700);
    bind_mount(*real, saved);
    covered.push_back(*real);
  }
  std::sort(covered.begin(), covered.end());
  covered.erase(std::unique(covered.begin(), covered.end()), covered.end());
  for (const auto& path : covered) {
    bind_mount(plan.wrapper, path);
  }

  if (plan.crypttab) {
    struct stat st{};
    if (::stat("/etc/crypttab", &st) == 0) {
      std::string file = state + "/crypttab";
      write_file(file, *plan.crypttab);
      bind_mount(file, "/etc/crypttab");
    } else {
      // No file to bind over: lay a private writable layer over /etc.
      make_dirs(state + "/etc-upper");
      make_dirs(state + "/etc-work");
      write_file(state + "/etc-upper/crypttab", *plan.crypttab);
      std::string options =
          "lowerdir=/etc,upperdir=" + state + "/etc-upper,workdir=" + state + "/etc-work";
      check(::mount("overlay", "/etc", "overlay", 0, options.c_str()), "overlay /etc");
    }
  }

  check(::mount("tmpfs", "/dev", "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=0755"), "mount /dev");
  make_dirs("/dev/mapper");
  make_dirs("/dev/disk/by-id");
  make_dirs("/dev/disk/by-uuid");
  ::umask(0);
  for (const auto& node : plan.nodes) {
    check(::mknod(node.path.c_str(), node.mode, node.dev), "mknod " + node.path);
  }
  if (plan.dm_control_minor) {
    check(::mknod("/dev/mapper/control", S_IFCHR | 0600, makedev(10, *plan.dm_control_minor)),
          "mknod /dev/mapper/control");
  }
  ::umask(022);
  for (const auto& [link, target] : plan.links) {
    check(::symlink(target.c_str(), link.c_str()), "symlink " + link);
  }
}

[[noreturn]] void run_init(const NamespacePlan& plan, int ready_fd, int control_fd) {
  try {
    build_namespace(plan);
    write_all(ready_fd, "ok\n");
  } catch (const std::exception& e) {
    write_all(ready_fd, std::string("error: ") + e.what() + "\n");
    ::_exit(1);
  }
  ::close(ready_fd);
  // Stay until the test closes the control pipe; as the namespace's init we
  // also reap whatever gets orphaned inside it.
  for (;;) {
    pollfd fd{control_fd, POLLIN, 0};
    int ready = ::poll(&fd, 1, 200);
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    if (ready > 0) {
      ::_exit(0);
    }
  }
}

}  // namespace

// --- public helpers -----------------------------------------------------------

std::optional<std::string> e2e_unavailable() {
  if (::geteuid() != 0) {
    return "end-to-end tests need root (mount namespaces, loop devices)";
  }
  Fd control(::open("/dev/loop-control", O_RDWR | O_CLOEXEC));
  if (!control) {
    return "loop devices are unavailable: " + errno_message("/dev/loop-control", errno);
  }
  if (::access(TDH_HELPER_BINARY, X_OK) != 0) {
    return std::string("helper binary missing: ") + TDH_HELPER_BINARY;
  }
  // Root in a container may still lack the right to make namespaces.
  pid_t probe = ::fork();
  if (probe < 0) {
    return errno_message("fork", errno);
  }
  if (probe == 0) {
    ::_exit(::unshare(CLONE_NEWNS | CLONE_NEWPID) == 0 ? 0 : 1);
  }
  int status = 0;
  wait_child(probe, &status);
  if (status == -1 || exit_code_of(status) != 0) {
    return "cannot make mount and pid namespaces here";
  }
  return std::nullopt;
}

bool kernel_has_device_mapper() { return device_mapper_minor().has_value(); }

std::string pattern_block(std::uint64_t offset) {
  std::string unit = "tdh-e2e pattern @" + std::to_string(offset) + "; ";
  std::string block;
  block.reserve(4096 + unit.size());
  while (block.size() < 4096) {
    block += unit;
  }
  block.resize(4096);
  return block;
}

std::string json_string(const std::string& text) { return nlohmann::json(text).dump(); }

std::string base64(const std::string& bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    auto b = (static_cast<unsigned char>(bytes[i]) << 16) |
             (static_cast<unsigned char>(bytes[i + 1]) << 8) |
             static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[(b >> 18) & 63];
    out += kAlphabet[(b >> 12) & 63];
    out += kAlphabet[(b >> 6) & 63];
    out += kAlphabet[b & 63];
  }
  std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    unsigned b = static_cast<unsigned>(static_cast<unsigned char>(bytes[i])) << 16;
    if (rest == 2) {
      b |= static_cast<unsigned>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    }
    out += kAlphabet[(b >> 18) & 63];
    out += kAlphabet[(b >> 12) & 63];
    out += rest == 2 ? kAlphabet[(b >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

namespace {
// A plain decimal the way the helper writes one: no sign, no leading zero.
std::optional<std::uint64_t> plain_decimal(const std::string& digits) {
  if (digits.empty() || digits.size() > 20 ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
      (digits.size() > 1 && digits[0] == '0')) {
    return std::nullopt;
  }
  return std::stoull(digits);
}
}  // namespace

std::optional<std::uint64_t> progress_copied(const std::string& line) {
  static const std::string prefix = "{\"progress\":{\"copied\":";
  static const std::string suffix = ",\"total\":0}}";
  if (line.size() <= prefix.size() + suffix.size() || line.rfind(prefix, 0) != 0 ||
      line.compare(line.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return std::nullopt;
  }
  return plain_decimal(line.substr(prefix.size(), line.size() - prefix.size() - suffix.size()));
}

std::optional<std::pair<std::uint64_t, std::uint64_t>> progress_verified(const std::string& line) {
  static const std::string prefix = "{\"progress\":{\"copied\":";
  static const std::string middle = ",\"total\":0,\"verified\":";
  static const std::string suffix = "}}";
  const std::size_t at = line.find(middle);
  if (line.rfind(prefix, 0) != 0 || at == std::string::npos || at < prefix.size() ||
      line.size() < at + middle.size() + suffix.size() ||
      line.compare(line.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return std::nullopt;
  }
  auto copied = plain_decimal(line.substr(prefix.size(), at - prefix.size()));
  auto verified = plain_decimal(
      line.substr(at + middle.size(), line.size() - at - middle.size() - suffix.size()));
  if (!copied || !verified) {
    return std::nullopt;
  }
  return std::make_pair(*copied, *verified);
}

// --- LoopDevice ----------------------------------------------------------------

LoopDevice::LoopDevice(const std::string& file, std::uint64_t offset, bool read_only,
                       bool partitions) {
  Fd control(::open("/dev/loop-control", O_RDWR | O_CLOEXEC));
  if (!control) {
    fail_errno("/dev/loop-control");
  }
  Fd backing(::open(file.c_str(), (read_only ? O_RDONLY : O_RDWR) | O_CLOEXEC));
  if (!backing) {
    fail_errno("open " + file);
  }
  for (int attempt = 0; attempt < 50; ++attempt) {
    int number = ::ioctl(control.get(), LOOP_CTL_GET_FREE);
    if (number < 0) {
      fail_errno("LOOP_CTL_GET_FREE");
    }
    std::string path = "/dev/loop" + std::to_string(number);
    Fd device(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    if (!device) {
      if (errno == ENOENT) {
        std::this_thread::sleep_for(20ms);  // the node is still being made
        continue;
      }
      fail_errno("open " + path);
    }
    loop_config config{};
    config.fd = static_cast<__u32>(backing.get());
    config.info.lo_offset = offset;
    config.info.lo_flags = LO_FLAGS_AUTOCLEAR | (read_only ? LO_FLAGS_READ_ONLY : 0) |
                           (partitions ? LO_FLAGS_PARTSCAN : 0);
    std::strncpy(reinterpret_cast<char*>(config.info.lo_file_name), file.c_str(), LO_NAME_SIZE - 1);
    if (::ioctl(device.get(), LOOP_CONFIGURE, &config) != 0) {
      if (errno == EBUSY) {
        continue;  // somebody else took it between the two calls
      }
      fail_errno("LOOP_CONFIGURE " + path);
    }
    struct stat st{};
    if (::fstat(device.get(), &st) != 0) {
      int error = errno;
      ::ioctl(device.get(), LOOP_CLR_FD);
      fail(errno_message("stat " + path, error));
    }
    fd_ = std::move(device);
    path_ = path;
    dev_ = st.st_rdev;
    return;
  }
  fail("no free loop device");
}

LoopDevice::~LoopDevice() {
  if (fd_) {
    // Busy devices only get their autoclear flag confirmed; the kernel
    // detaches them when the last user closes.
    ::ioctl(fd_.get(), LOOP_CLR_FD);
  }
}

std::string LoopDevice::name() const { return basename_of(path_); }

void LoopDevice::add_partition(int number, std::uint64_t start, std::uint64_t length) {
  blkpg_partition partition{};
  partition.start = static_cast<long long>(start);
  partition.length = static_cast<long long>(length);
  partition.pno = number;
  blkpg_ioctl_arg arg{};
  arg.op = BLKPG_ADD_PARTITION;
  arg.datalen = sizeof partition;
  arg.data = &partition;
  if (::ioctl(fd_.get(), BLKPG, &arg) != 0) {
    fail_errno("BLKPG_ADD_PARTITION " + path_);
  }
}

void LoopDevice::flush_buffers() const { ::ioctl(fd_.get(), BLKFLSBUF, 0); }

// --- Sandbox -------------------------------------------------------------------

Sandbox::Sandbox(std::vector<DriveSpec> drives, std::optional<std::string> crypttab)
    : specs_(std::move(drives)), crypttab_(std::move(crypttab)) {
  clear_stale_sandboxes();
  std::string pattern = std::string(kScratchRoot) + "/" + std::string(kScratchPrefix) + "XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    fail_errno("mkdtemp");
  }
  dir_ = pattern;
  lock_ = Fd(::open((dir_ + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!lock_ || ::flock(lock_.get(), LOCK_EX) != 0) {
    int error = errno;
    remove_scratch_dir(dir_);
    fail(errno_message("lock " + dir_, error));
  }
  try {
    for (std::size_t i = 0; i < specs_.size(); ++i) {
      auto drive = std::make_unique<ScratchDrive>();
      drive->described = specs_[i];
      if (drive->described.serial.empty()) {
        drive->described.serial = "E2E" + std::to_string(i);
      }
      drive->image = dir_ + "/drive-" + std::to_string(i) + ".img";
      if (drive->described.tmpfs_bytes != 0) {
        const std::string mount_point = dir_ + "/tmpfs-" + std::to_string(i);
        const std::string options = "size=" + std::to_string(drive->described.tmpfs_bytes);
        if (::mkdir(mount_point.c_str(), 0700) != 0 ||
            ::mount("tmpfs", mount_point.c_str(), "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC,
                    options.c_str()) != 0) {
          fail_errno("mount a tmpfs on " + mount_point);
        }
        drive->image = mount_point + "/drive.img";
      }
      make_image(drive->image, drive->described);
      drive->loop = std::make_unique<LoopDevice>(drive->image, 0, drive->described.read_only,
                                                 drive->described.partition);
      if (drive->described.partition) {
        drive->loop->add_partition(1, layout::kMiB, drive->described.size - layout::kMiB);
        drive->partition = drive->path() + "p1";
        std::string name = drive->loop->name() + "p1";
        std::string dev = read_file("/sys/class/block/" + name + "/dev");
        while (!dev.empty() && (dev.back() == '\n' || dev.back() == ' ')) {
          dev.pop_back();
        }
        drive->partition_dev = parse_dev(dev);
      }
      if (drive->described.luks_payload) {
        drive->payload =
            std::make_unique<LoopDevice>(drive->image, layout::kLuksDataOffset, false, false);
      }
      if (drive->described.loop_over) {
        drive->loop_over = std::make_unique<LoopDevice>(drive->path(), 0, false, false);
      }
      if (drive->described.by_id) {
        drive->by_id = by_id_path(drive->described.serial);
        if (drive->described.partition) {
          drive->partition_by_id = drive->by_id + "-part1";
        }
      }
      drives_.push_back(std::move(drive));
    }
    start_namespace();
  } catch (...) {
    stop_namespace();
    drives_.clear();
    remove_scratch_dir(dir_);
    throw;
  }
}

Sandbox::~Sandbox() {
  stop_namespace();
  drives_.clear();
  remove_scratch_dir(dir_);
}

void Sandbox::start_namespace() {
  NamespacePlan plan;
  plan.wrapper = self_exe();
  plan.crypttab = crypttab_;
  plan.dm_control_minor = device_mapper_minor();
  for (const char* name : {"null", "zero", "full", "random", "urandom"}) {
    struct stat st{};
    std::string path = std::string("/dev/") + name;
    if (::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) {
      fail("host " + path + " is not a character device");
    }
    plan.nodes.push_back({path, S_IFCHR | 0666, st.st_rdev});
  }
  nlohmann::json config = {{"scratch", nlohmann::json::array()},
                           {"drives", nlohmann::json::array()},
                           {"payloads", nlohmann::json::array()},
                           {"loops", nlohmann::json::array()}};
  for (const auto& drive : drives_) {
    const DriveSpec& described = drive->described;
    plan.nodes.push_back({drive->path(), S_IFBLK | 0660, drive->loop->dev()});
    if (!drive->partition.empty()) {
      plan.nodes.push_back({drive->partition, S_IFBLK | 0660, drive->partition_dev});
    }
    if (drive->payload) {
      plan.nodes.push_back({drive->payload->path(), S_IFBLK | 0660, drive->payload->dev()});
    }
    if (drive->loop_over) {
      plan.nodes.push_back({drive->loop_over->path(), S_IFBLK | 0660, drive->loop_over->dev()});
    }
    if (!drive->by_id.empty()) {
      plan.links.emplace_back(drive->by_id, "../../" + drive->loop->name());
      if (!drive->partition_by_id.empty()) {
        plan.links.emplace_back(drive->partition_by_id, "../../" + basename_of(drive->partition));
      }
    }
    if (!described.partition_uuid.empty() && !drive->partition.empty()) {
      plan.links.emplace_back("/dev/disk/by-uuid/" + described.partition_uuid,
                              "../../" + basename_of(drive->partition));
    }
    if (!described.listed) {
      continue;
    }
    config["scratch"].push_back({{"path", drive->path()}, {"dev", dev_text(drive->loop->dev())}});
    if (!drive->partition.empty()) {
      config["scratch"].push_back(
          {{"path", drive->partition}, {"dev", dev_text(drive->partition_dev)}});
    }
    if (drive->payload) {
      config["scratch"].push_back(
          {{"path", drive->payload->path()}, {"dev", dev_text(drive->payload->dev())}});
      config["payloads"].push_back({{"device", drive->path()},
                                    {"payload", drive->payload->path()},
                                    {"offset", layout::kLuksDataOffset}});
    }
    if (drive->loop_over) {
      config["scratch"].push_back(
          {{"path", drive->loop_over->path()}, {"dev", dev_text(drive->loop_over->dev())}});
      config["loops"].push_back(drive->loop_over->path());
    }
    config["drives"].push_back({{"path", drive->path()},
                                {"rm", described.removable},
                                {"hotplug", described.hotplug},
                                {"tran", "usb"},
                                {"vendor", "Tarnwick"},
                                {"model", "E2E Scratch"},
                                {"serial", described.serial}});
  }
  plan.config = config.dump(2);

  Pipe ready = Pipe::make();
  Pipe control = Pipe::make();
  const pid_t parent = ::getpid();
  pid_t keeper = ::fork();
  if (keeper < 0) {
    fail_errno("fork");
  }
  if (keeper == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) {
      ::_exit(1);
    }
    close_other_fds({ready.write.get(), control.read.get()});
    if (::unshare(CLONE_NEWNS | CLONE_NEWPID) != 0) {
      write_all(ready.write.get(), errno_message("error: unshare", errno) + "\n");
      ::_exit(1);
    }
    pid_t init = ::fork();
    if (init == 0) {
      // Its parent is outside the new pid namespace (getppid() says 0), so
      // there is no race to check here; should the test die before this,
      // the control pipe is already closed and init leaves at once.
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      run_init(plan, ready.write.get(), control.read.get());
    }
    if (init < 0) {
      write_all(ready.write.get(), errno_message("error: fork", errno) + "\n");
      ::_exit(1);
    }
    write_all(ready.write.get(), "pid " + std::to_string(init) + "\n");
    ready.write.reset();
    control.read.reset();
    int status = 0;
    while (::waitpid(init, &status, 0) < 0 && errno == EINTR) {
    }
    ::_exit(0);
  }
  keeper_pid_ = keeper;
  ready.write.reset();
  control.read.reset();
  control_ = std::move(control.write);

  std::string report;
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  for (;;) {
    pollfd fd{ready.read.get(), POLLIN, 0};
    if (::poll(&fd, 1, 1000) > 0) {
      char buffer[512];
      ssize_t n = ::read(ready.read.get(), buffer, sizeof buffer);
      if (n <= 0) {
        break;
      }
      report.append(buffer, static_cast<std::size_t>(n));
    }
    if (std::chrono::steady_clock::now() > deadline) {
      fail("namespace setup timed out: " + report);
    }
  }
  // Two writers, the keeper ("pid N") and init ("ok" or "error: ..."), in
  // either order.
  bool ok = false;
  for (std::size_t start = 0; start < report.size();) {
    std::size_t end = report.find('\n', start);
    std::string line = report.substr(start, end == std::string::npos ? end : end - start);
    ok = ok || line == "ok";
    if (line.starts_with("pid ")) {
      init_pid_ = std::stoi(line.substr(4));
    }
    start = end == std::string::npos ? report.size() : end + 1;
  }
  if (!ok || init_pid_ <= 0) {
    fail("namespace setup failed: " + report);
  }
  init_pidfd_ = Fd(static_cast<int>(::syscall(SYS_pidfd_open, init_pid_, 0)));
  std::string ns = "/proc/" + std::to_string(init_pid_) + "/ns/";
  mnt_ns_ = Fd(::open((ns + "mnt").c_str(), O_RDONLY | O_CLOEXEC));
  pid_ns_ = Fd(::open((ns + "pid").c_str(), O_RDONLY | O_CLOEXEC));
  if (!mnt_ns_ || !pid_ns_) {
    fail_errno("open " + ns);
  }
}

void Sandbox::stop_namespace() {
  // Swap is global, not namespaced: switch it off from here, by the host's
  // node of the same device.
  for (const auto& path : swaps_) {
    ::swapoff(path.c_str());
  }
  swaps_.clear();
  mnt_ns_.reset();
  pid_ns_.reset();
  control_.reset();  // the init process exits, taking every process inside with it
  if (keeper_pid_ <= 0) {
    return;
  }
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (::waitpid(keeper_pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill_by_pidfd(init_pidfd_);
      ::kill(keeper_pid_, SIGKILL);  // our own child, not yet reaped
      wait_child(keeper_pid_, &status);
      break;
    }
    std::this_thread::sleep_for(10ms);
  }
  keeper_pid_ = -1;
  init_pid_ = -1;
  init_pidfd_.reset();
}

ProcessResult Sandbox::run(const std::vector<std::string>& argv, const std::string& input,
                           std::chrono::seconds timeout) const {
  Spawned child =
      spawn_inside(mnt_ns_.get(), pid_ns_.get(), argv, {kToolPath, "LC_ALL=C", "LANG=C"});
  ::signal(SIGPIPE, SIG_IGN);
  (void)write_all(child.in.get(), input);
  child.in.reset();
  ProcessResult result;
  bool open[2] = {true, true};
  int fds[2] = {child.out.get(), child.err.get()};
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  bool timed_out = false;
  while (open[0] || open[1]) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timed_out = true;
      break;
    }
    pollfd p[2] = {{open[0] ? fds[0] : -1, POLLIN, 0}, {open[1] ? fds[1] : -1, POLLIN, 0}};
    if (::poll(p, 2, static_cast<int>(std::min<long long>(left.count(), INT_MAX))) < 0) {
      continue;
    }
    for (int i = 0; i < 2; ++i) {
      if (p[i].fd < 0 || p[i].revents == 0) {
        continue;
      }
      char buffer[65536];
      ssize_t n = ::read(fds[i], buffer, sizeof buffer);
      if (n > 0) {
        (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        open[i] = false;
      }
    }
  }
  if (timed_out) {
    kill_by_pidfd(child.pidfd);
  }
  int status = 0;
  wait_child(child.waiter, &status);
  if (timed_out) {
    fail("timed out running " + argv[0] + " in the sandbox");
  }
  result.exit_code = exit_code_of(status);
  return result;
}

std::string Sandbox::run_ok(const std::vector<std::string>& argv, const std::string& input) const {
  ProcessResult result = run(argv, input);
  if (result.exit_code != 0) {
    std::string command;
    for (const auto& arg : argv) {
      command += arg + " ";
    }
    fail("`" + command + "` exited " + std::to_string(result.exit_code) + ": " + result.err);
  }
  return result.out;
}

std::unique_ptr<HelperSession> Sandbox::start_helper() const {
  // A PATH that finds nothing: every tool the helper runs must come from the
  // search path it sets itself.
  return start_helper({"PATH=/nonexistent/tdh-e2e", "LC_ALL=C", "LANG=C"});
}

std::unique_ptr<HelperSession> Sandbox::start_helper(const std::vector<std::string>& env) const {
  return std::make_unique<HelperSession>(*this, std::vector<std::string>{TDH_HELPER_BINARY}, env);
}

std::string Sandbox::inside(const std::string& path) const {
  return "/proc/" + std::to_string(init_pid_) + "/root" + path;
}

std::vector<std::string> Sandbox::tool_log() const {
  std::vector<std::string> lines;
  std::string text = read_file(inside(std::string(layout::kCallLog)));
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      end = text.size();
    }
    if (end > start) {
      lines.push_back(text.substr(start, end - start));
    }
    start = end + 1;
  }
  return lines;
}

std::vector<std::vector<std::string>> Sandbox::tool_calls(const std::string& tool) const {
  std::vector<std::vector<std::string>> calls;
  for (const auto& line : tool_log()) {
    auto entry = nlohmann::json::parse(line);
    if (!tool.empty() && entry.at("tool").get<std::string>() != tool) {
      continue;
    }
    calls.push_back(entry.at("argv").get<std::vector<std::string>>());
  }
  return calls;
}

std::string Sandbox::read_drive(std::size_t index, std::uint64_t offset, std::size_t length) const {
  const ScratchDrive& d = drive(index);
  d.loop->flush_buffers();
  if (d.payload) {
    d.payload->flush_buffers();
  }
  Fd fd(::open(d.image.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) {
    fail_errno("open " + d.image);
  }
  std::string data(length, '\0');
  ssize_t n = ::pread(fd.get(), data.data(), length, static_cast<off_t>(offset));
  if (n != static_cast<ssize_t>(length)) {
    fail_errno("read " + d.image);
  }
  return data;
}

bool Sandbox::is_scratch_path(const std::string& device) const {
  for (const auto& d : drives_) {
    if (d->described.listed &&
        (device == d->path() || (!d->partition.empty() && device == d->partition) ||
         (d->loop_over && device == d->loop_over->path()))) {
      return true;
    }
  }
  return false;
}

void Sandbox::activate_swap(const std::string& device) {
  if (!is_scratch_path(device)) {
    fail("refusing to make swap on " + device + ": not a scratch drive of this sandbox");
  }
  run_ok({"mkswap", device});
  swaps_.push_back(device);  // before swapon, so teardown always tries swapoff
  run_ok({"swapon", device});
}

std::string Sandbox::mount_new_ext4(const std::string& device, const std::string& name) {
  if (!is_scratch_path(device)) {
    fail("refusing to make a filesystem on " + device + ": not a scratch drive of this sandbox");
  }
  run_ok({"mkfs.ext4", "-q", "-F", "-L", name, device});
  std::string mount_point = std::string(layout::kMountDir) + "/" + name;
  run_ok({"mkdir", "-p", mount_point});
  run_ok({"mount", device, mount_point});
  return mount_point;
}

void Sandbox::hold(const std::string& key) const {
  write_file(inside(std::string(layout::kHoldPrefix) + key), "");
}

void Sandbox::release(const std::string& key) const {
  ::unlink(inside(std::string(layout::kHoldPrefix) + key).c_str());
}

pid_t Sandbox::held(const std::string& key, std::chrono::seconds timeout) const {
  const std::string marker = inside(std::string(layout::kHeldPrefix) + key);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (auto text = try_read_file(marker); text && !text->empty()) {
      return static_cast<pid_t>(std::stol(*text));
    }
    std::this_thread::sleep_for(20ms);
  }
  fail("the wrapper of " + key + " did not start within " + std::to_string(timeout.count()) + " s");
}

bool Sandbox::running_inside(pid_t pid) const {
  const auto stat = try_read_file(inside("/proc/" + std::to_string(pid) + "/stat"));
  if (!stat) {
    return false;
  }
  const std::size_t paren = stat->rfind(')');
  return paren == std::string::npos || stat->find(" Z ", paren) != paren + 1;
}

std::optional<std::string> Sandbox::mapper_target(const std::string& name) const {
  std::string entry = "/dev/mapper/" + name;
  struct stat st{};
  if (::lstat(inside(entry).c_str(), &st) != 0) {
    return std::nullopt;
  }
  if (!S_ISLNK(st.st_mode)) {
    return entry;  // a real device-mapper node
  }
  char buffer[PATH_MAX];
  ssize_t n = ::readlink(inside(entry).c_str(), buffer, sizeof buffer - 1);
  if (n < 0) {
    return std::nullopt;
  }
  return std::string(buffer, static_cast<std::size_t>(n));
}

// --- HelperSession ---------------------------------------------------------------

HelperSession::HelperSession(const Sandbox& sandbox, const std::vector<std::string>& argv,
                             const std::vector<std::string>& env) {
  Spawned child = spawn_inside(sandbox.mnt_ns_.get(), sandbox.pid_ns_.get(), argv, env);
  waiter_ = child.waiter;
  pidfd_ = std::move(child.pidfd);
  in_ = std::move(child.in);
  out_ = std::move(child.out);
  err_fd_ = std::move(child.err);
  ::signal(SIGPIPE, SIG_IGN);
}

HelperSession::~HelperSession() {
  if (finished_) {
    return;
  }
  in_.reset();
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!out_closed_ || err_fd_) {
    if (!pump(deadline)) {
      break;
    }
  }
  kill_now();
  int status = 0;
  wait_child(waiter_, &status);
}

void HelperSession::kill_now() { kill_by_pidfd(pidfd_); }

pid_t HelperSession::pid() const {
  if (!pidfd_) {
    return -1;
  }
  std::string info = read_file("/proc/self/fdinfo/" + std::to_string(pidfd_.get()));
  std::size_t at = info.find("\nPid:");
  if (at == std::string::npos) {
    return -1;
  }
  return static_cast<pid_t>(std::strtol(info.c_str() + at + 5, nullptr, 10));
}

void HelperSession::send_raw(const std::string& bytes) {
  if (!in_ || !write_all(in_.get(), bytes)) {
    fail(errno_message("writing to the helper", errno));
  }
}

// Reads whatever is available from both outputs; false once the deadline
// passed (or both outputs are closed).
bool HelperSession::pump(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0 || (out_closed_ && !err_fd_)) {
    return false;
  }
  pollfd p[2] = {{out_closed_ ? -1 : out_.get(), POLLIN, 0},
                 {err_fd_ ? err_fd_.get() : -1, POLLIN, 0}};
  if (::poll(p, 2, static_cast<int>(std::min<long long>(left.count(), INT_MAX))) <= 0) {
    return true;
  }
  char buffer[65536];
  if (p[0].fd >= 0 && p[0].revents != 0) {
    ssize_t n = ::read(out_.get(), buffer, sizeof buffer);
    if (n > 0) {
      out_buffer_.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      out_closed_ = true;
    }
  }
  if (p[1].fd >= 0 && p[1].revents != 0) {
    ssize_t n = ::read(err_fd_.get(), buffer, sizeof buffer);
    if (n > 0) {
      err_.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      err_fd_.reset();
    }
  }
  return true;
}

std::string HelperSession::next_line(std::chrono::seconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    std::size_t end = out_buffer_.find('\n');
    if (end != std::string::npos) {
      std::string line = out_buffer_.substr(0, end);
      out_buffer_.erase(0, end + 1);
      return line;
    }
    if (out_closed_) {
      fail("the helper closed its output; pending \"" + out_buffer_ + "\", stderr \"" + err_ +
           "\"");
    }
    if (!pump(deadline)) {
      fail("no answer from the helper within " + std::to_string(timeout.count()) + " s; stderr \"" +
           err_ + "\"");
    }
  }
}

std::vector<std::string> HelperSession::request(const std::string& line,
                                                std::chrono::seconds timeout) {
  send(line);
  std::vector<std::string> lines;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::seconds>(deadline -
                                                                 std::chrono::steady_clock::now());
    lines.push_back(next_line(std::max(left, std::chrono::seconds(1))));
    // A probe's result line comes before its final answer.
    if (!progress_copied(lines.back()) && !progress_verified(lines.back()) &&
        !lines.back().starts_with("{\"probe\":")) {
      return lines;
    }
  }
}

int HelperSession::finish(std::chrono::seconds timeout) {
  in_.reset();
  return wait_exit(timeout);
}

int HelperSession::wait_exit(std::chrono::seconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!out_closed_ || err_fd_) {
    if (!pump(deadline)) {
      kill_now();
      int status = 0;
      wait_child(waiter_, &status);
      finished_ = true;
      fail("the helper did not end within " + std::to_string(timeout.count()) + " s");
    }
  }
  std::size_t start = 0;
  while (start < out_buffer_.size()) {
    std::size_t end = out_buffer_.find('\n', start);
    if (end == std::string::npos) {
      end = out_buffer_.size();
    }
    trailing_.push_back(out_buffer_.substr(start, end - start));
    start = end + 1;
  }
  out_buffer_.clear();
  int status = 0;
  wait_child(waiter_, &status);
  finished_ = true;
  return exit_code_of(status);
}

}  // namespace tdh_e2e
