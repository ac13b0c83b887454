// The only place that calls the operating system for files, directories,
// syncing and time. Every other component goes through here, which is also
// where tests inject faults (see fault.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/error.h"

namespace qvn::platform {

// Paths holding a NUL byte are refused before any system call:
// "file name contained an unexpected NUL byte".
IoResult<void> check_path(std::string_view path);

// The strongest durable sync the platform offers: F_FULLFSYNC where it
// exists, else fsync. Retried while interrupted.
IoResult<void> full_sync(int fd);

enum class Access : uint8_t { Read, Write, ReadWrite, Append, ReadAppend };
enum class Create : uint8_t {
  No,         // the file must exist
  IfMissing,  // create with 0o666 under the umask
  Truncate,   // create or truncate
  Exclusive,  // create; fail if it exists
};

enum class FileKind : uint8_t { Regular, Directory, Symlink, Other };

// Whether File::open accepts a symbolic link as the path's last component.
// The engine's own files are never reached through one: whoever can write in
// the directory could otherwise aim the engine's appends, cuts and reads at
// any file the engine's user may touch. Links in the directories leading to
// the file are followed either way.
enum class Links : uint8_t {
  Refuse,  // "{path} is a symbolic link; refusing to use it"
  Follow,  // for paths the caller chose, such as an archive to read
};

struct FileInfo {
  FileKind kind = FileKind::Other;
  uint64_t size = 0;
  uint32_t mode = 0;  // permission bits only
  uint64_t device = 0;
  uint64_t inode = 0;
};

// Owns a descriptor opened with O_CLOEXEC; closes it on destruction.
class File {
 public:
  File() = default;
  explicit File(int fd) : fd_(fd) {}
  File(File&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  File& operator=(File&& o) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  // Opens a regular file and nothing else. The open itself never waits: a
  // FIFO or device in the file's place is refused with "{path} is not a
  // regular file" instead of blocking until a peer shows up; a directory
  // gives EISDIR, as reading it would.
  static IoResult<File> open(const std::string& path, Access access, Create create = Create::No,
                             Links links = Links::Refuse);
  // A read-only descriptor of a directory, e.g. to take its advisory lock.
  static IoResult<File> open_directory(const std::string& path);

  int fd() const { return fd_; }
  bool is_open() const { return fd_ >= 0; }

  // Writes every byte or fails; a write accepted with zero bytes is
  // "failed to write whole buffer".
  IoResult<void> write_all(const void* data, size_t len);
  // The same at `offset`, leaving the file position alone. On a descriptor
  // opened for appending the kernel may put the bytes at the end instead:
  // use one opened with Access::ReadWrite or Access::Write.
  IoResult<void> write_all_at(const void* data, size_t len, uint64_t offset);
  // Reads exactly len bytes at the current position; a short file is
  // "failed to fill whole buffer".
  IoResult<void> read_exact(void* buf, size_t len);
  IoResult<void> pread_exact(void* buf, size_t len, uint64_t offset) const;
  // Reads up to len bytes at offset; returns the count (0 at end of file).
  IoResult<size_t> pread_some(void* buf, size_t len, uint64_t offset) const;
  IoResult<uint64_t> seek(uint64_t offset);
  IoResult<uint64_t> size() const;
  // Size, kind and identity (device, inode) of the open file.
  IoResult<FileInfo> info() const;
  IoResult<void> truncate(uint64_t len);
  IoResult<void> sync() { return full_sync(fd_); }
  // Closes now and reports the error close() gave, if any.
  IoResult<void> close();

 private:
  int fd_ = -1;
};

// One hold of the exclusive advisory lock (flock) of a directory. Each hold
// takes the lock through a descriptor opened for it alone, close-on-exec, and
// closing that descriptor releases it. So the lock's open file description is
// never shared with another process: a child forked outside a hold has no
// copy, one forked during a hold (from another thread) has its copy closed
// by this layer's fork handler before it runs, and an exec drops it. The
// holder's death ends the lock at once, whatever children it leaves behind.
// Separate holds exclude each other, also within one process.
class DirectoryLock {
 public:
  DirectoryLock() = default;
  DirectoryLock(DirectoryLock&& o) noexcept : fd_(o.fd_), pid_(o.pid_) { o.fd_ = -1; }
  DirectoryLock& operator=(DirectoryLock&& o) noexcept;
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;
  ~DirectoryLock() { release(); }

  // Waits for the lock of the directory that `dir` is open on.
  static IoResult<DirectoryLock> acquire(const File& dir);
  bool held() const { return fd_ >= 0; }
  // Ends the hold. In a forked copy of the holder it only forgets the
  // descriptor: the fork handler closed it already, and its number may
  // name another file by now.
  void release();

 private:
  int fd_ = -1;
  int64_t pid_ = 0;  // the process that took the hold
};

// Creates a new file named `prefix` followed by a suffix unique to this call
// (exclusive creation, so no two callers, in any process, get the same name).
// Returns the open file and its name.
IoResult<std::pair<File, std::string>> create_unique(const std::string& prefix);

// Creates `path` new and exclusively, for writing a file that is then
// renamed into place. Whatever already has that name (a leftover of an
// earlier attempt, or a link planted there) is removed first, never opened:
// removing a link removes the link, not its target.
IoResult<File> create_fresh(const std::string& path);

// Whole-file helpers. read_file opens as File::open does (links refused).
IoResult<std::vector<uint8_t>> read_file(const std::string& path);
IoResult<bool> exists(const std::string& path);       // lstat-free: follows links
IoResult<bool> is_directory(const std::string& path);
IoResult<uint64_t> file_size(const std::string& path);  // follows links

// How every load of one of the engine's own files (at open, refresh,
// catch-up, snapshot) judges what stands under its name, so that the same
// thing is never "no file" to a load and an error to an append: nullopt only
// when no entry has that name; the metadata of a regular file; else the error
// an open for appending gives ("{path} is a symbolic link; refusing to use
// it" for a link, live or dangling; "{path} is not a regular file"; EISDIR
// for a directory). Nothing is taken for a missing or empty file unread.
IoResult<std::optional<FileInfo>> own_file_info(const std::string& path);
// Opens one of the engine's own files for reading, nullopt when no entry has
// its name; judged as own_file_info judges it.
IoResult<std::optional<File>> open_own_file(const std::string& path);

// Metadata of `path`, or nullopt when nothing is there (including a dangling
// link when following). With follow_links false a link reports Symlink.
IoResult<std::optional<FileInfo>> file_info(const std::string& path, bool follow_links);
// The absolute path with every link and "."/".." resolved; the path must exist.
IoResult<std::string> real_path(const std::string& path);

// Directory helpers. Directories are created with 0o777 under the umask.
// create_dir_all succeeds when another process creates any of the same
// directories meanwhile; before it returns, the parent of every directory
// that was missing when it looked is synced, whoever created it.
IoResult<void> create_dir_all(const std::string& path);
IoResult<void> create_dir(const std::string& path);  // fails if it exists
IoResult<std::vector<std::string>> list_dir(const std::string& path);  // names, no "." or ".."
IoResult<void> sync_dir(const std::string& path);

IoResult<void> rename(const std::string& from, const std::string& to);
// Makes `to` a second name of `from`; fails with EEXIST rather than replace
// an existing `to`, which makes it a publish step that never overwrites.
IoResult<void> link(const std::string& from, const std::string& to);
IoResult<void> unlink(const std::string& path);
// Removes an empty directory.
IoResult<void> remove_dir(const std::string& path);

// Creates `path` as an empty file (0o666 under the umask) unless something
// already has that name; true when this call created it. A name taken by a
// racing creator is not an error.
IoResult<bool> create_file_if_missing(const std::string& path);

std::string join(const std::string& dir, const std::string& name);
// The directory that names `path`: "." for a bare name, "/" for "/name".
std::string parent_dir(const std::string& path);

// Wall-clock Unix time.
uint64_t now_unix_nanos();

// The calling process's id. A copy made by fork() sees a new value, which is
// how state opened before the fork notices that it now lives elsewhere.
int64_t process_id();

}  // namespace qvn::platform
