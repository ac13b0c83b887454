// Snapshots: one tar archive holding "manifest.json" and every file of an
// engine directory under "engine_state", with a SHA-256 digest over the files
// that does not depend on the order of entries in the archive.
//
// Nothing here touches an engine or takes a lock: the engine takes the
// directory's writer lock, drains its write buffer and syncs its trace log,
// then calls write_snapshot; it opens an engine on target_dir after
// restore_snapshot.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"

namespace qvn {

struct SnapshotCodecs {
  std::string quantization;
  std::string key;
  bool operator==(const SnapshotCodecs&) const = default;
};

struct SnapshotStats {
  uint64_t pack_count = 0;
  uint64_t owner_count = 0;
  bool operator==(const SnapshotStats&) const = default;
};

// Field order is the key order of "manifest.json".
struct SnapshotManifest {
  std::string magic;
  uint8_t format_version = 0;
  std::string created_at;  // "@" and whole Unix seconds
  SnapshotCodecs codecs;
  SnapshotStats stats;
  std::string sha256;  // 64 lowercase hex digits

  // The manifest a snapshot writes: current magic, version and codecs, and
  // created_at taken from the clock now.
  static SnapshotManifest create(std::string sha256, uint64_t pack_count, uint64_t owner_count);

  // The exact bytes of "manifest.json": two-space pretty JSON, no trailing
  // newline. Fails with SnapshotIntegrity "manifest serialize: {}".
  Result<std::string> to_json() const;

  // Accepts any JSON of the manifest's shape (free whitespace, members in any
  // order, unknown keys skipped, records also as arrays of their fields).
  // Fails with NotASnapshot "manifest parse: {}", the description ending in
  // " at line L column C". Checks no values.
  static Result<SnapshotManifest> parse(std::string_view json);

  bool operator==(const SnapshotManifest&) const = default;
};

namespace snapshot {

// Writes the archive of engine_dir to out_path. The archive goes to a
// temporary file beside out_path that is synced and renamed into place, so
// out_path never holds a partial archive; a file whose second read (for the
// archive) differs from its first (for the digest) fails the snapshot. A
// symbolic link at out_path is written through: its target gets the archive.
// Requires: nothing else writes engine_dir meanwhile (the writer lock, held
// by Engine::snapshot; other engines write only under it).
Result<SnapshotManifest> write_snapshot(const std::string& engine_dir, const std::string& out_path,
                                        uint64_t pack_count, uint64_t owner_count);

// Checks the archive completely (paths, manifest, codecs, digest) and only
// then unpacks its state files into target_dir, which must be missing or
// empty (checked last, so a faulty archive is reported as such). Memory stays bounded: contents are hashed and copied straight from
// the archive file in fixed-size chunks. Every written file and directory is
// synced before success; a failure while writing removes what was written,
// leaving target_dir as it was.
Result<SnapshotManifest> restore_snapshot(const std::string& in_path, const std::string& target_dir);

// The last "manifest.json" of the archive, the one a restore checks,
// checked for magic and version only; other entries are skipped unread.
Result<SnapshotManifest> read_manifest(const std::string& in_path);

// Component order: paths compare as sequences of "/"-separated components,
// each a byte string, so "a/b" sorts before "a.txt".
bool path_less(std::string_view a, std::string_view b);

// Relative paths of every regular file under engine_dir (links followed), in
// component order: exactly the files the digest covers.
Result<std::vector<std::string>> collect_files(const std::string& engine_dir);

std::string hex_digest(const uint8_t* bytes, size_t len);

// The two passes of write_snapshot, exposed so a test can change a file
// between them.
namespace detail {

using Digest = std::array<uint8_t, 32>;

struct StateEntry {
  std::string rel;  // "" for engine_dir itself
  bool is_dir = false;
  bool executable = false;
  uint64_t size = 0;  // as hashed
  Digest digest{};    // of the content as hashed
};

// Walk order: each directory before its contents, names in byte order.
Result<std::vector<StateEntry>> walk_state(const std::string& engine_dir);
// Hashes the files in component order, recording each file's size and
// digest; returns the manifest digest.
Result<std::string> hash_state(const std::string& engine_dir, std::vector<StateEntry>& entries);
Result<void> write_archive(const std::string& engine_dir, const std::vector<StateEntry>& entries,
                           const std::string& manifest_json, const std::string& out_path);

}  // namespace detail
}  // namespace snapshot
}  // namespace qvn
