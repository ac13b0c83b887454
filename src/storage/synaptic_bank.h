// Adapter entries: the append-only file "synaptic.qvn" and its index.
// Requires: engine mutex held for every call (no locking of its own).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/cell.h"
#include "core/error.h"
#include "core/platform.h"
#include "core/synaptic_entry.h"
#include "storage/append_file.h"

namespace qvn {

// Reads `n` little-endian 16-bit values at the file's position. Memory grows
// with what is actually read, so an `n` larger than the file fails with
// "failed to fill whole buffer" without a matching allocation.
IoResult<std::vector<uint16_t>> read_u16_vec(platform::File& file, uint64_t n);

class SynapticBank {
 public:
  struct IndexEntry {
    uint64_t id;
    OwnerId owner;
    uint64_t offset;  // of the record's length prefix
    uint32_t body_len;
  };

  // Creates `dir` and an empty "synaptic.qvn" if missing, then indexes every
  // whole record. A torn, implausible or unreadable tail ends the walk, and
  // so does a record whose append has not committed (see append).
  static IoResult<SynapticBank> open(const std::string& dir);

  // Requires: the writer turn held (see append_file.h).
  // Appends one record in two synced steps, its length prefix written last
  // (see append_synced); only then is it indexed. The file must
  // exist (it is not recreated). On error the index and the file are as
  // before. Refuses "record too large" and entries whose matrices do not
  // hold `rank` x `d_model` values each, before anything is written.
  IoResult<void> append(const SynapticEntry& entry);

  // Walks the records appended since the last open, catch-up or append of
  // this bank, by any writer, only to bring up to date what the next append
  // knows about a torn tail; the index does not change.
  IoResult<void> catch_up();

  // The owner's entries in file order; the first error fails the whole load.
  // Each record read must still be the one indexed (its length, id and
  // owner); when one is not, the file changed under the index (cut and
  // appended to behind it), and the file is indexed again and read again.
  // A record is never served to an owner it does not name.
  IoResult<std::vector<SynapticEntry>> load_for_owner(OwnerId owner);

  const std::vector<IndexEntry>& index() const { return index_; }
  const std::string& path() const { return path_; }

 private:
  explicit SynapticBank(std::string path) : path_(std::move(path)) {}
  // Indexes every whole record of the file afresh.
  IoResult<void> reindex();
  // The record at `at`, or nullopt when another one, or none, is there now.
  IoResult<std::optional<SynapticEntry>> read_record(const IndexEntry& at) const;

  std::string path_;
  std::vector<IndexEntry> index_;
  TornTail tail_;
};

}  // namespace qvn
