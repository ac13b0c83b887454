// Segment files one at a time: their names in the directory, their creation,
// opening with the magic check, and appends of whole records with one sync.
// A `Segment` is what a pool knows of one file. Nothing here reads records
// (segment_scan.h) or keeps an index (block_pool.h).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/cell.h"
#include "core/error.h"
#include "core/platform.h"

namespace qvn {

struct Segment {
  std::string path;
  uint64_t size = 0;  // bytes, as far as this pool knows
  uint32_t id = 0;
  // The next append goes to a fresh segment instead of this one: under the
  // writer lock its tail held bytes that are not whole records (a dead
  // writer's, see BlockPool::settle_active_tail), or an append could not cut
  // its partial bytes back off, or the file is gone or was replaced.
  // Appending behind such bytes would make later scans stop before the new
  // records; the file itself is never truncated. Scans outside the lock
  // never set it: a tail may be another writer's append in progress.
  bool torn_tail = false;
  // Records before this offset have been scanned; a rescan resumes here
  // (files are append-only, so what lies before never changes).
  uint64_t scanned_to = 0;
  // Where the rescan starts reading (at or before scanned_to): the first of
  // the layer records that end the scanned part when they wait for their
  // pack's head, so that the record after them is judged with them in view.
  uint64_t rescan_from = 0;
  // The file size at which the writer lock last found the tail whole, and
  // the offset from which the next such check reads (as rescan_from).
  std::optional<uint64_t> settled_size;
  uint64_t settle_from = 0;
  // Identity of the file that was scanned (both 0 until known). A rescan
  // that finds another file under the name starts over on it.
  uint64_t device = 0, inode = 0;
  // Read descriptor kept across reads, only ever on the identified file, so
  // it never serves another file that later took the same name.
  mutable std::shared_ptr<const platform::File> reader;
  mutable uint64_t last_read = 0;  // for choosing which descriptor to close
  // The file is known to start with the magic. Until then an append looks
  // first: a file of zeros (its creation torn by a power loss) takes its
  // header there.
  bool headed = false;
  // Compaction moved this segment's live records out but could not remove
  // the file: every record below this offset is dead. Records behind it
  // were appended since, by another writer.
  uint64_t dead_before = 0;
};

// I/O failures of these helpers come back as IoError.

std::string segment_path(const std::string& dir, uint32_t id);

// Ids of the names "segment_<u32>.qvn" in dir ("+" prefix allowed, digits
// only), ascending and without repeats; other names are ignored.
IoResult<std::vector<uint32_t>> list_segment_ids(const std::string& dir);
// Whether a listing takes `name` for a segment's.
bool is_segment_file_name(std::string_view name);

// Creates segment `id` (never replacing an existing file) with its 8-byte
// header, syncs the file, then the directory: once the name is durable, so
// is the header.
IoResult<Segment> create_segment(const std::string& dir, uint32_t id);

// The size of segment `id`'s file, judged as every load of the engine's own
// files is (platform::own_file_info); no file of that name is ENOENT, for
// segment_gone to judge.
IoResult<uint64_t> segment_file_size(const std::string& dir, uint32_t id);

struct OpenedSegment {
  platform::File file;
  platform::FileInfo info;
  bool headed = false;  // the file starts with the magic
};

// Opens a segment and checks its magic ("invalid segment magic in {path}").
// A file shorter than the header, or holding nothing but zeros (a creation
// that a power loss tore), is accepted unchecked: it holds no record, and
// its first append writes the header.
IoResult<OpenedSegment> open_segment(const std::string& path);

// Whether segment `id`, which a listing named, failed to open or stat with
// `e` because it is gone: another engine's compaction removed it meanwhile.
// A name the listing still shows ("segment_5.qvn" for segment_000005.qvn) is
// not gone, and its error stands.
bool segment_gone(const std::string& dir, uint32_t id, const IoError& e);

// "segment file {path} was replaced by another file".
IoError segment_replaced(const std::string& path);

// Append the cells' records to the segment's existing file in one write and
// one full sync; return their offsets. Offsets come from the file's own size,
// and a failed write or sync cuts the file back to where the append began
// (if that fails too, `torn_tail` is set). A file shorter than the header gets
// its header first, and so does a file of zeros, cut back to nothing before
// (no writer leaves zeros where the header belongs, and appends run in the
// writer turn, so no one else is writing there). A file under the segment's name that is not the file
// the segment was scanned from (another device or inode) takes nothing: the
// append fails and `torn_tail` is set. An empty list touches nothing.
IoResult<std::vector<uint64_t>> append_records(Segment& segment, std::span<const Cell> cells);
// The same for records already coded, back to back in `records`; `rel`
// holds each one's offset inside it.
IoResult<std::vector<uint64_t>> append_encoded(Segment& segment, std::span<const uint8_t> records,
                                               const std::vector<uint64_t>& rel);

}  // namespace qvn
