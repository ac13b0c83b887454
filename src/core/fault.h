// Test-only fault injection for the platform layer. When nothing is armed the
// cost on every call is one relaxed atomic load.
#pragma once

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

namespace qvn::platform::fault {

enum class Op : uint8_t { Write = 0, Sync = 1, Rename = 2, Unlink = 3 };

// Fails the nth (1-based) call of `op` made after arming with `err`. With
// `short_write` a failing write first writes half of its bytes, then fails,
// the way a full disk shows up.
void arm(Op op, uint64_t nth, int err = EIO, bool short_write = false);
void disarm();
// Calls of `op` seen since the last arm.
uint64_t calls(Op op);
// Whether an armed fault has fired since the last arm.
bool fired();

// The directories synced since the last arm, in order (kept only while
// armed), so that tests can see which names were made durable.
std::vector<std::string> synced_dirs();

// What each sync of a regular file since the last arm found in it, in
// order (kept only while armed), so that tests can see which bytes each
// sync made durable and in what order.
std::vector<std::vector<uint8_t>> synced_files();

// Used by the platform layer: returns the errno to fail with, or 0.
int check(Op op);
bool short_write_armed();
void note_dir_sync(const std::string& path);
void note_file_sync(int fd);

}  // namespace qvn::platform::fault
