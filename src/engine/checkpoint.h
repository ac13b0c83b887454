// Checkpoint repository: series of snapshot archives under string labels,
// laid out as root/label/{seq:0>4}.tar. The repository holds only its root
// and reads the directories afresh on every call; it has no lock of its own.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/error.h"
#include "engine/snapshot.h"

namespace qvn {

struct CheckpointEntry {
  std::string label;
  uint32_t seq = 0;
  std::string path;  // root / label / file name
  SnapshotManifest manifest;
};

class CheckpointRepository {
 public:
  // Writes a snapshot archive of one engine to the given path. The engine
  // passes a call of its snapshot operation made under its own mutex.
  using SnapshotWriter = std::function<Result<SnapshotManifest>(const std::string& out_path)>;

  explicit CheckpointRepository(std::string root) : root_(std::move(root)) {}
  const std::string& root() const { return root_; }

  // Saves under the next sequence number of `label`. The archive is written
  // aside and then published under its number without replacing anything,
  // so concurrent saves of one label (any process) each get their own
  // number, and a failed snapshot leaves no checkpoint file. Labels that are
  // empty, ".", "..", or hold "/" or NUL are refused.
  Result<CheckpointEntry> save(const SnapshotWriter& write_snapshot, const std::string& label) const;

  // Every checkpoint (or those of one label): label directories in component
  // order, each in ascending seq; reads every archive's manifest, and any
  // unreadable one fails the whole list. A missing root lists nothing.
  Result<std::vector<CheckpointEntry>> list(const std::optional<std::string>& label) const;

  Result<std::optional<CheckpointEntry>> latest(const std::string& label) const;

  // Restores the latest checkpoint of `label` into target_dir (which must be
  // missing or empty) with every check of a snapshot restore, and returns
  // the entry restored; the engine is then opened on target_dir.
  Result<CheckpointEntry> restore_latest(const std::string& label, const std::string& target_dir) const;

  // (seq, path) of the checkpoint files of one label directory, ascending by
  // seq; equal seqs (1.tar, 0001.tar) keep listing order.
  static Result<std::vector<std::pair<uint32_t, std::string>>> list_label_dir(const std::string& dir);

  // "{seq:0>4}.tar"
  static std::string file_name(uint32_t seq);
  // The seq of a checkpoint file name: extension exactly "tar", stem an
  // optional "+" and decimal digits up to 4294967295.
  static std::optional<uint32_t> parse_file_name(std::string_view name);

 private:
  std::string root_;
};

}  // namespace qvn
