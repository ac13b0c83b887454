#include "core/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "core/fault.h"

namespace qvn::platform {

namespace fault {
namespace {
std::atomic<bool> g_armed{false};
std::mutex g_mu;
Op g_op = Op::Write;
uint64_t g_nth = 0;
int g_err = EIO;
bool g_short = false;
bool g_fired = false;
std::array<uint64_t, 4> g_calls{};
std::vector<std::string> g_synced_dirs;
std::vector<std::vector<uint8_t>> g_synced_files;
}  // namespace

void arm(Op op, uint64_t nth, int err, bool short_write) {
  std::lock_guard<std::mutex> l(g_mu);
  g_op = op;
  g_nth = nth;
  g_err = err;
  g_short = short_write;
  g_fired = false;
  g_calls = {};
  g_synced_dirs.clear();
  g_synced_files.clear();
  g_armed.store(true, std::memory_order_release);
}

void disarm() {
  std::lock_guard<std::mutex> l(g_mu);
  g_armed.store(false, std::memory_order_release);
  g_calls = {};
  g_synced_dirs.clear();
  g_synced_files.clear();
}

uint64_t calls(Op op) {
  std::lock_guard<std::mutex> l(g_mu);
  return g_calls[static_cast<size_t>(op)];
}

bool fired() {
  std::lock_guard<std::mutex> l(g_mu);
  return g_fired;
}

int check(Op op) {
  if (!g_armed.load(std::memory_order_relaxed)) return 0;
  std::lock_guard<std::mutex> l(g_mu);
  uint64_t n = ++g_calls[static_cast<size_t>(op)];
  if (op == g_op && n == g_nth) {
    g_fired = true;
    return g_err;
  }
  return 0;
}

std::vector<std::string> synced_dirs() {
  std::lock_guard<std::mutex> l(g_mu);
  return g_synced_dirs;
}

void note_dir_sync(const std::string& path) {
  if (!g_armed.load(std::memory_order_relaxed)) return;
  std::lock_guard<std::mutex> l(g_mu);
  g_synced_dirs.push_back(path);
}

std::vector<std::vector<uint8_t>> synced_files() {
  std::lock_guard<std::mutex> l(g_mu);
  return g_synced_files;
}

void note_file_sync(int fd) {
  if (!g_armed.load(std::memory_order_relaxed)) return;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return;
  std::vector<uint8_t> bytes(static_cast<size_t>(st.st_size));
  size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t r = ::pread(fd, bytes.data() + got, bytes.size() - got, static_cast<off_t>(got));
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  bytes.resize(got);
  std::lock_guard<std::mutex> l(g_mu);
  g_synced_files.push_back(std::move(bytes));
}

bool short_write_armed() {
  if (!g_armed.load(std::memory_order_relaxed)) return false;
  std::lock_guard<std::mutex> l(g_mu);
  return g_short;
}
}  // namespace fault

IoResult<void> check_path(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) {
    return make_unexpected(IoError::invalid_input("file name contained an unexpected NUL byte"));
  }
  return {};
}

IoResult<void> full_sync(int fd) {
  if (int e = fault::check(fault::Op::Sync)) return make_unexpected(IoError::os(e));
  fault::note_file_sync(fd);
  for (;;) {
#ifdef F_FULLFSYNC
    int r = ::fcntl(fd, F_FULLFSYNC);
#else
    int r = ::fsync(fd);
#endif
    if (r == 0) return {};
    if (errno == EINTR) continue;
    return make_unexpected(IoError::os(errno));
  }
}

File& File::operator=(File&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = o.fd_;
    o.fd_ = -1;
  }
  return *this;
}

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

namespace {
IoError refused(const std::string& path, const char* what) { return IoError::other(path + " " + what); }

// Why an open of `path` failed with `err`, in the words a user can act on
// when the cause is the kind of file found there.
IoError open_failure(const std::string& path, int err, Links links) {
  struct stat st;
  if (err == ELOOP && links == Links::Refuse && ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    return refused(path, "is a symbolic link; refusing to use it");
  }
  // A FIFO with no reader, or a socket, refuses a non-blocking open for
  // writing with ENXIO.
  if (err == ENXIO) return refused(path, "is not a regular file");
  return IoError::os(err);
}
}  // namespace

IoResult<File> File::open(const std::string& path, Access access, Create create, Links links) {
  QVN_TRY_VOID(check_path(path));
  int flags = O_CLOEXEC | O_NONBLOCK;
  if (links == Links::Refuse) flags |= O_NOFOLLOW;
  switch (access) {
    case Access::Read: flags |= O_RDONLY; break;
    case Access::Write: flags |= O_WRONLY; break;
    case Access::ReadWrite: flags |= O_RDWR; break;
    case Access::Append: flags |= O_WRONLY | O_APPEND; break;
    case Access::ReadAppend: flags |= O_RDWR | O_APPEND; break;
  }
  switch (create) {
    case Create::No: break;
    case Create::IfMissing: flags |= O_CREAT; break;
    case Create::Truncate: flags |= O_CREAT | O_TRUNC; break;
    case Create::Exclusive: flags |= O_CREAT | O_EXCL; break;
  }
  int fd;
  do {
    fd = ::open(path.c_str(), flags, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return make_unexpected(open_failure(path, errno, links));
  File f(fd);
  struct stat st;
  if (::fstat(fd, &st) != 0) return make_unexpected(IoError::os(errno));
  if (S_ISDIR(st.st_mode)) return make_unexpected(IoError::os(EISDIR));
  if (!S_ISREG(st.st_mode)) return make_unexpected(refused(path, "is not a regular file"));
  // Reads and writes of a regular file do not look at the flag; it goes so
  // that nothing later depends on it. F_SETFL takes the status flags from
  // `flags` and ignores the others there.
  if (::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return make_unexpected(IoError::os(errno));
  return f;
}

IoResult<File> File::open_directory(const std::string& path) {
  QVN_TRY_VOID(check_path(path));
  for (;;) {
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) return File(fd);
    if (errno == EINTR) continue;
    return make_unexpected(IoError::os(errno));
  }
}

namespace {

// The descriptors of the directory locks this process holds now. Opening a
// lock's descriptor and adding it here, and removing it and closing it, are
// each one step under g_lock_mu, which the fork handlers hold across fork():
// a child's copy of every held lock's descriptor is in the list it inherits.
std::mutex g_lock_mu;
std::vector<int> g_lock_fds;

void before_fork() { g_lock_mu.lock(); }
void after_fork_in_parent() { g_lock_mu.unlock(); }
void after_fork_in_child() {
  // Closing a copy only drops the child's reference: the parent's hold stays.
  for (int fd : g_lock_fds) (void)::close(fd);
  g_lock_fds.clear();
  g_lock_mu.unlock();
}

}  // namespace

DirectoryLock& DirectoryLock::operator=(DirectoryLock&& o) noexcept {
  if (this != &o) {
    release();
    fd_ = o.fd_;
    pid_ = o.pid_;
    o.fd_ = -1;
  }
  return *this;
}

IoResult<DirectoryLock> DirectoryLock::acquire(const File& dir) {
  static std::once_flag handlers;
  std::call_once(handlers, [] { ::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child); });
  DirectoryLock held;
  {
    std::lock_guard<std::mutex> l(g_lock_mu);
    int fd;
    do {
      fd = ::openat(dir.fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return make_unexpected(IoError::os(errno));
    g_lock_fds.push_back(fd);
    held.fd_ = fd;
    held.pid_ = process_id();
  }
  for (;;) {
    if (::flock(held.fd_, LOCK_EX) == 0) return held;
    if (errno == EINTR) continue;
    return make_unexpected(IoError::os(errno));
  }
}

void DirectoryLock::release() {
  if (fd_ < 0) return;
  if (pid_ == process_id()) {
    std::lock_guard<std::mutex> l(g_lock_mu);
    std::erase(g_lock_fds, fd_);
    (void)::close(fd_);
  }
  fd_ = -1;
}

namespace {

// Writes every byte at the file position, or at `at` when given. An armed
// fault fails the call, after half of the bytes when it asks for that.
IoResult<void> write_fully(int fd, const char* p, size_t len, std::optional<uint64_t> at) {
  auto write_some = [&](size_t n) {
    return at ? ::pwrite(fd, p, n, static_cast<off_t>(*at)) : ::write(fd, p, n);
  };
  auto advance = [&](ssize_t w) {
    p += w;
    if (at) *at += static_cast<uint64_t>(w);
  };
  if (len > 0) {
    if (int e = fault::check(fault::Op::Write)) {
      if (fault::short_write_armed() && len > 1) {
        size_t half = len / 2;
        while (half > 0) {
          ssize_t w = write_some(half);
          if (w <= 0) break;
          advance(w);
          half -= static_cast<size_t>(w);
        }
      }
      return make_unexpected(IoError::os(e));
    }
  }
  while (len > 0) {
    ssize_t w = write_some(len);
    if (w < 0) {
      if (errno == EINTR) continue;
      return make_unexpected(IoError::os(errno));
    }
    if (w == 0) return make_unexpected(IoError::write_zero());
    advance(w);
    len -= static_cast<size_t>(w);
  }
  return {};
}

}  // namespace

IoResult<void> File::write_all(const void* data, size_t len) {
  return write_fully(fd_, static_cast<const char*>(data), len, std::nullopt);
}

IoResult<void> File::write_all_at(const void* data, size_t len, uint64_t offset) {
  return write_fully(fd_, static_cast<const char*>(data), len, offset);
}

IoResult<void> File::read_exact(void* buf, size_t len) {
  char* p = static_cast<char*>(buf);
  while (len > 0) {
    ssize_t r = ::read(fd_, p, len);
    if (r < 0) {
      if (errno == EINTR) continue;
      return make_unexpected(IoError::os(errno));
    }
    if (r == 0) return make_unexpected(IoError::unexpected_eof());
    p += r;
    len -= static_cast<size_t>(r);
  }
  return {};
}

IoResult<size_t> File::pread_some(void* buf, size_t len, uint64_t offset) const {
  for (;;) {
    ssize_t r = ::pread(fd_, buf, len, static_cast<off_t>(offset));
    if (r >= 0) return static_cast<size_t>(r);
    if (errno == EINTR) continue;
    return make_unexpected(IoError::os(errno));
  }
}

IoResult<void> File::pread_exact(void* buf, size_t len, uint64_t offset) const {
  char* p = static_cast<char*>(buf);
  while (len > 0) {
    QVN_TRY(size_t r, pread_some(p, len, offset));
    if (r == 0) return make_unexpected(IoError::unexpected_eof());
    p += r;
    len -= r;
    offset += r;
  }
  return {};
}

IoResult<uint64_t> File::seek(uint64_t offset) {
  off_t r = ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET);
  if (r < 0) return make_unexpected(IoError::os(errno));
  return static_cast<uint64_t>(r);
}

namespace {
FileInfo info_of(const struct stat& st) {
  FileInfo info;
  if (S_ISREG(st.st_mode)) {
    info.kind = FileKind::Regular;
  } else if (S_ISDIR(st.st_mode)) {
    info.kind = FileKind::Directory;
  } else if (S_ISLNK(st.st_mode)) {
    info.kind = FileKind::Symlink;
  }
  info.size = static_cast<uint64_t>(st.st_size);
  info.mode = static_cast<uint32_t>(st.st_mode & 07777);
  info.device = static_cast<uint64_t>(st.st_dev);
  info.inode = static_cast<uint64_t>(st.st_ino);
  return info;
}

}  // namespace

IoResult<uint64_t> File::size() const {
  struct stat st;
  if (::fstat(fd_, &st) != 0) return make_unexpected(IoError::os(errno));
  return static_cast<uint64_t>(st.st_size);
}

IoResult<FileInfo> File::info() const {
  struct stat st;
  if (::fstat(fd_, &st) != 0) return make_unexpected(IoError::os(errno));
  return info_of(st);
}

IoResult<void> File::truncate(uint64_t len) {
  for (;;) {
    if (::ftruncate(fd_, static_cast<off_t>(len)) == 0) return {};
    if (errno == EINTR) continue;
    return make_unexpected(IoError::os(errno));
  }
}

IoResult<void> File::close() {
  if (fd_ < 0) return {};
  int fd = fd_;
  fd_ = -1;
  // Linux closes the descriptor even when close() reports EINTR; never retry.
  if (::close(fd) != 0 && errno != EINTR) return make_unexpected(IoError::os(errno));
  return {};
}

IoResult<std::pair<File, std::string>> create_unique(const std::string& prefix) {
  static std::atomic<uint64_t> counter{0};
  for (int attempt = 0;; ++attempt) {
    std::string name = prefix + std::to_string(now_unix_nanos()) + "-" +
                       std::to_string(counter.fetch_add(1, std::memory_order_relaxed));
    auto f = File::open(name, Access::Write, Create::Exclusive);
    if (f.ok()) return std::make_pair(std::move(f).value(), std::move(name));
    const IoError& e = f.error();
    if (e.kind != IoError::Kind::Os || e.os_code != EEXIST || attempt >= 64) {
      return make_unexpected(std::move(f).error());
    }
  }
}

IoResult<File> create_fresh(const std::string& path) {
  // A name that reappears between the removal and the creation is someone
  // else's doing: give up after a few rounds rather than chase it.
  for (int attempt = 0;; ++attempt) {
    auto f = File::open(path, Access::Write, Create::Exclusive);
    if (f.ok() || attempt >= 3) return f;
    const IoError& e = f.error();
    if (e.kind != IoError::Kind::Os || e.os_code != EEXIST) return f;
    auto removed = unlink(path);
    if (!removed.ok() && (removed.error().kind != IoError::Kind::Os || removed.error().os_code != ENOENT)) {
      return make_unexpected(std::move(removed).error());
    }
  }
}

IoResult<std::vector<uint8_t>> read_file(const std::string& path) {
  QVN_TRY(File f, File::open(path, Access::Read));
  QVN_TRY(uint64_t sz, f.size());
  std::vector<uint8_t> out;
  out.reserve(static_cast<size_t>(sz));
  uint8_t buf[65536];
  uint64_t off = 0;
  for (;;) {
    QVN_TRY(size_t n, f.pread_some(buf, sizeof buf, off));
    if (n == 0) break;
    out.insert(out.end(), buf, buf + n);
    off += n;
  }
  return out;
}

namespace {
IoResult<bool> stat_path(const std::string& path, struct stat* st) {
  QVN_TRY_VOID(check_path(path));
  if (::stat(path.c_str(), st) == 0) return true;
  if (errno == ENOENT || errno == ENOTDIR) return false;
  return make_unexpected(IoError::os(errno));
}
}  // namespace

IoResult<bool> exists(const std::string& path) {
  struct stat st;
  return stat_path(path, &st);
}

IoResult<bool> is_directory(const std::string& path) {
  struct stat st;
  QVN_TRY(bool found, stat_path(path, &st));
  return found && S_ISDIR(st.st_mode);
}

IoResult<uint64_t> file_size(const std::string& path) {
  QVN_TRY_VOID(check_path(path));
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return make_unexpected(IoError::os(errno));
  return static_cast<uint64_t>(st.st_size);
}

IoResult<std::optional<FileInfo>> file_info(const std::string& path, bool follow_links) {
  QVN_TRY_VOID(check_path(path));
  struct stat st;
  int r = follow_links ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
  if (r != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return std::optional<FileInfo>();
    return make_unexpected(IoError::os(errno));
  }
  FileInfo info = info_of(st);
  return std::optional<FileInfo>(info);
}

IoResult<std::optional<FileInfo>> own_file_info(const std::string& path) {
  QVN_TRY_VOID(check_path(path));
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return std::optional<FileInfo>();
    return make_unexpected(IoError::os(errno));
  }
  if (S_ISLNK(st.st_mode)) return make_unexpected(refused(path, "is a symbolic link; refusing to use it"));
  if (S_ISDIR(st.st_mode)) return make_unexpected(IoError::os(EISDIR));
  if (!S_ISREG(st.st_mode)) return make_unexpected(refused(path, "is not a regular file"));
  return std::optional<FileInfo>(info_of(st));
}

IoResult<std::optional<File>> open_own_file(const std::string& path) {
  QVN_TRY(std::optional<FileInfo> info, own_file_info(path));
  if (!info) return std::optional<File>();
  QVN_TRY(File f, File::open(path, Access::Read));
  return std::optional<File>(std::move(f));
}

IoResult<std::string> real_path(const std::string& path) {
  QVN_TRY_VOID(check_path(path));
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (!resolved) return make_unexpected(IoError::os(errno));
  std::string out(resolved);
  ::free(resolved);
  return out;
}

IoResult<void> create_dir(const std::string& path) {
  QVN_TRY_VOID(check_path(path));
  if (::mkdir(path.c_str(), 0777) != 0) return make_unexpected(IoError::os(errno));
  return {};
}

IoResult<void> create_dir_all(const std::string& path) {
  QVN_TRY_VOID(check_path(path));
  if (path.empty()) return {};
  QVN_TRY(bool dir, is_directory(path));
  if (dir) return {};
  // Every directory on the way, outermost first ("a//b/" gives a, a//b).
  std::vector<std::string> dirs;
  for (size_t pos = 0;;) {
    pos = path.find('/', pos + 1);
    std::string prefix = path.substr(0, pos);
    if (!prefix.empty() && prefix.back() != '/') dirs.push_back(std::move(prefix));
    if (pos == std::string::npos) break;
  }
  size_t first_missing = 0;
  while (first_missing < dirs.size()) {
    QVN_TRY(bool there, is_directory(dirs[first_missing]));
    if (!there) break;
    ++first_missing;
  }
  // A directory that another process creates meanwhile is fine (EEXIST);
  // a file in the way shows in the check below.
  for (size_t i = first_missing; i < dirs.size(); ++i) {
    if (::mkdir(dirs[i].c_str(), 0777) != 0 && errno != EEXIST) return make_unexpected(IoError::os(errno));
  }
  QVN_TRY(bool made, is_directory(path));
  if (!made) return make_unexpected(IoError::os(EEXIST));
  // A new directory's name lives in its parent. Synced whoever made it: a
  // racing creator may not have synced yet when this call returns.
  for (size_t i = dirs.size(); i-- > first_missing;) QVN_TRY_VOID(sync_dir(parent_dir(dirs[i])));
  return {};
}

IoResult<std::vector<std::string>> list_dir(const std::string& path) {
  QVN_TRY_VOID(check_path(path));
  DIR* d = ::opendir(path.c_str());
  if (!d) return make_unexpected(IoError::os(errno));
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    struct dirent* e = ::readdir(d);
    if (!e) {
      int err = errno;
      ::closedir(d);
      if (err != 0) return make_unexpected(IoError::os(err));
      break;
    }
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    names.emplace_back(e->d_name);
  }
  return names;
}

IoResult<void> sync_dir(const std::string& path) {
  QVN_TRY_VOID(check_path(path));
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return make_unexpected(IoError::os(errno));
  fault::note_dir_sync(path);
  File f(fd);
  return f.sync();
}

IoResult<bool> create_file_if_missing(const std::string& path) {
  auto made = File::open(path, Access::Write, Create::Exclusive);
  if (made.ok()) {
    QVN_TRY_VOID(made->close());
    return true;
  }
  if (made.error().kind != IoError::Kind::Os || made.error().os_code != EEXIST) {
    return make_unexpected(std::move(made).error());
  }
  return false;
}

IoResult<void> rename(const std::string& from, const std::string& to) {
  QVN_TRY_VOID(check_path(from));
  QVN_TRY_VOID(check_path(to));
  if (int e = fault::check(fault::Op::Rename)) return make_unexpected(IoError::os(e));
  if (::rename(from.c_str(), to.c_str()) != 0) return make_unexpected(IoError::os(errno));
  return {};
}

IoResult<void> link(const std::string& from, const std::string& to) {
  QVN_TRY_VOID(check_path(from));
  QVN_TRY_VOID(check_path(to));
  if (::link(from.c_str(), to.c_str()) != 0) return make_unexpected(IoError::os(errno));
  return {};
}

IoResult<void> unlink(const std::string& path) {
  QVN_TRY_VOID(check_path(path));
  if (int e = fault::check(fault::Op::Unlink)) return make_unexpected(IoError::os(e));
  if (::unlink(path.c_str()) != 0) return make_unexpected(IoError::os(errno));
  return {};
}

IoResult<void> remove_dir(const std::string& path) {
  QVN_TRY_VOID(check_path(path));
  if (int e = fault::check(fault::Op::Unlink)) return make_unexpected(IoError::os(e));
  if (::rmdir(path.c_str()) != 0) return make_unexpected(IoError::os(errno));
  return {};
}

std::string join(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  if (dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

std::string parent_dir(const std::string& path) {
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  const size_t slash = path.rfind('/', end - 1);
  if (slash == std::string::npos) return ".";
  size_t stop = slash;
  while (stop > 0 && path[stop - 1] == '/') --stop;
  return stop == 0 ? "/" : path.substr(0, stop);
}

uint64_t now_unix_nanos() {
  struct timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  if (ts.tv_sec < 0) return 0;
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

int64_t process_id() { return static_cast<int64_t>(::getpid()); }

}  // namespace qvn::platform
