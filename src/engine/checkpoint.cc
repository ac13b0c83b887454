#include "engine/checkpoint.h"

#include <algorithm>
#include <cerrno>

#include "core/numeric.h"
#include "core/platform.h"
#include "core/utf8.h"
#include "engine/snapshot_format.h"

namespace qvn {

namespace {

// A label is one directory directly under the root; anything else would be
// written where listing never looks, or outside the root.
Result<void> check_label(const std::string& label) {
  if (label.empty() || label == "." || label == ".." ||
      label.find_first_of(std::string_view("/\0", 2)) != std::string::npos) {
    return make_unexpected(IoError::invalid_input(
        "checkpoint label must be a plain directory name, not empty, \".\", \"..\", or holding "
        "\"/\" or NUL"));
  }
  return {};
}

// The seq after the largest found in dir (1 when there is none or no dir);
// nullopt when the largest possible seq is taken.
Result<std::optional<uint32_t>> next_seq(const std::string& dir) {
  QVN_TRY(std::optional<platform::FileInfo> info, platform::file_info(dir, true));
  if (!info) return std::optional<uint32_t>(1);
  QVN_TRY(auto files, CheckpointRepository::list_label_dir(dir));
  if (files.empty()) return std::optional<uint32_t>(1);
  uint32_t top = files.back().first;
  if (top == UINT32_MAX) return std::optional<uint32_t>();
  return std::optional<uint32_t>(top + 1);
}

EngineError seq_exhausted(const std::string& label) {
  return EngineError::snapshot_integrity("no sequence number left for label " + label);
}

}  // namespace

std::string CheckpointRepository::file_name(uint32_t seq) {
  std::string digits = std::to_string(seq);
  if (digits.size() < static_cast<size_t>(snapshot::kCheckpointSeqWidth)) {
    digits.insert(0, snapshot::kCheckpointSeqWidth - digits.size(), '0');
  }
  return digits + "." + snapshot::kCheckpointExtension;
}

std::optional<uint32_t> CheckpointRepository::parse_file_name(std::string_view name) {
  size_t dot = name.rfind('.');
  // A name whose only dot leads it (".tar") has no extension.
  if (dot == std::string_view::npos || dot == 0) return std::nullopt;
  if (name.substr(dot + 1) != snapshot::kCheckpointExtension) return std::nullopt;
  auto v = parse_decimal(name.substr(0, dot), UINT32_MAX);
  if (!v) return std::nullopt;
  return static_cast<uint32_t>(*v);
}

Result<std::vector<std::pair<uint32_t, std::string>>> CheckpointRepository::list_label_dir(
    const std::string& dir) {
  QVN_TRY(std::vector<std::string> names, platform::list_dir(dir));
  std::vector<std::pair<uint32_t, std::string>> out;
  for (const auto& name : names) {
    if (auto seq = parse_file_name(name)) out.emplace_back(*seq, platform::join(dir, name));
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  return out;
}

Result<CheckpointEntry> CheckpointRepository::save(const SnapshotWriter& write_snapshot,
                                                   const std::string& label) const {
  QVN_TRY_VOID(check_label(label));
  std::string dir = platform::join(root_, label);
  QVN_TRY_VOID(platform::create_dir_all(dir));
  QVN_TRY(std::optional<uint32_t> seq, next_seq(dir));
  if (!seq) return make_unexpected(seq_exhausted(label));

  // The archive is written under a hidden name that the checkpoint-file test
  // never accepts, and then linked under its number: a link never replaces
  // an existing file, so a number taken meanwhile by another saver is
  // noticed instead of overwritten.
  QVN_TRY(auto pending, platform::create_unique(platform::join(dir, ".pending-")));
  // Named references rather than a structured binding: the lambda below
  // captures the path, which clang before 16 refuses for a binding.
  platform::File& pending_file = pending.first;
  const std::string& pending_path = pending.second;
  QVN_TRY_VOID(pending_file.close());
  auto discard = [&] { (void)platform::unlink(pending_path); };

  auto manifest = write_snapshot(pending_path);
  if (!manifest.ok()) {
    discard();
    return make_unexpected(std::move(manifest).error());
  }
  for (;;) {
    std::string path = platform::join(dir, file_name(*seq));
    auto linked = platform::link(pending_path, path);
    if (linked.ok()) {
      discard();
      // The checkpoint survives a power loss only once its name does; a
      // failed sync is reported although the file is already listed.
      QVN_TRY_VOID(platform::sync_dir(dir));
      return CheckpointEntry{label, *seq, std::move(path), std::move(manifest).value()};
    }
    if (linked.error().kind != IoError::Kind::Os || linked.error().os_code != EEXIST) {
      discard();
      return make_unexpected(std::move(linked).error());
    }
    auto again = next_seq(dir);
    if (!again.ok()) {
      discard();
      return make_unexpected(std::move(again).error());
    }
    std::optional<uint32_t> next = again.value();
    if (next && *next <= *seq) next = *seq == UINT32_MAX ? std::nullopt : std::optional(*seq + 1);
    if (!next) {
      discard();
      return make_unexpected(seq_exhausted(label));
    }
    seq = next;
  }
}

Result<std::vector<CheckpointEntry>> CheckpointRepository::list(
    const std::optional<std::string>& label) const {
  std::vector<CheckpointEntry> out;
  // Only a root that is not there holds no checkpoints; one that cannot be
  // examined is an error, not an empty list.
  QVN_TRY(std::optional<platform::FileInfo> root_info, platform::file_info(root_, true));
  if (!root_info) return out;
  QVN_TRY(std::vector<std::string> names, platform::list_dir(root_));
  std::vector<std::string> labels;
  for (auto& name : names) {
    if (label && name != *label) continue;
    QVN_TRY(bool dir, platform::is_directory(platform::join(root_, name)));
    if (dir) labels.push_back(std::move(name));
  }
  std::sort(labels.begin(), labels.end(), snapshot::path_less);
  for (const auto& name : labels) {
    std::string dir = platform::join(root_, name);
    if (!valid_utf8(name)) {
      return make_unexpected(
          EngineError::snapshot_integrity("non-UTF8 checkpoint label directory: " + utf8_lossy(dir)));
    }
    QVN_TRY(auto files, list_label_dir(dir));
    for (auto& [seq, path] : files) {
      QVN_TRY(SnapshotManifest m, snapshot::read_manifest(path));
      out.push_back({name, seq, std::move(path), std::move(m)});
    }
  }
  return out;
}

Result<std::optional<CheckpointEntry>> CheckpointRepository::latest(const std::string& label) const {
  QVN_TRY(std::vector<CheckpointEntry> entries, list(label));
  if (entries.empty()) return std::optional<CheckpointEntry>();
  return std::optional<CheckpointEntry>(std::move(entries.back()));
}

Result<CheckpointEntry> CheckpointRepository::restore_latest(const std::string& label,
                                                             const std::string& target_dir) const {
  QVN_TRY(std::optional<CheckpointEntry> entry, latest(label));
  if (!entry) {
    return make_unexpected(EngineError::snapshot_integrity("no checkpoint found for label " + label));
  }
  QVN_TRY_VOID(snapshot::restore_snapshot(entry->path, target_dir));
  return std::move(*entry);
}

}  // namespace qvn
