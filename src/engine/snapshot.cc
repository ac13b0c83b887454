#include "engine/snapshot.h"

#include <archive.h>
#include <archive_entry.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>

#include "core/platform.h"
#include "engine/json_record.h"
#include "engine/schedule_file.h"
#include "engine/snapshot_format.h"
#include "engine/trace_format.h"
#include "index/vamana/vamana_format.h"
#include "storage/deletion_log_format.h"
#include "storage/segment_file.h"
#include "storage/synaptic_format.h"
#include "storage/text_store_format.h"

namespace qvn {

namespace {

using snapshot::detail::Digest;

constexpr size_t kChunk = 65536;

class Sha256 {
 public:
  Sha256() : ctx_(EVP_MD_CTX_new()) {
    ok_ = ctx_ != nullptr && EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr) == 1;
  }
  ~Sha256() { EVP_MD_CTX_free(ctx_); }
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void update(const void* data, size_t len) {
    if (ok_ && len > 0) ok_ = EVP_DigestUpdate(ctx_, data, len) == 1;
  }
  IoResult<Digest> finish() {
    Digest d{};
    unsigned int len = 0;
    if (!ok_ || EVP_DigestFinal_ex(ctx_, d.data(), &len) != 1 || len != d.size()) {
      return make_unexpected(IoError::other("SHA-256 computation failed"));
    }
    ok_ = false;
    return d;
  }

 private:
  EVP_MD_CTX* ctx_;
  bool ok_ = false;
};

// The per-file prefix of the digest stream: path, 0x00, length (u64 LE).
void hash_file_header(Sha256& h, std::string_view rel, uint64_t len) {
  uint8_t buf[9] = {0};
  for (int i = 0; i < 8; ++i) buf[1 + i] = static_cast<uint8_t>(len >> (8 * i));
  h.update(rel.data(), rel.size());
  h.update(buf, sizeof buf);
}

// Feeds exactly `len` bytes of `f` from `offset` to every sink, one bounded
// chunk at a time. A file that ends early is "failed to fill whole buffer".
IoResult<void> stream_range(const platform::File& f, uint64_t offset, uint64_t len,
                            const std::function<IoResult<void>(const uint8_t*, size_t)>& sink) {
  std::vector<uint8_t> buf(static_cast<size_t>(std::min<uint64_t>(len, kChunk)));
  while (len > 0) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(len, kChunk));
    QVN_TRY_VOID(f.pread_exact(buf.data(), n, offset));
    QVN_TRY_VOID(sink(buf.data(), n));
    offset += n;
    len -= n;
  }
  return {};
}

// Calls fn with each "/"-separated component, skipping empty ones.
template <class Fn>
void for_each_component(std::string_view p, Fn&& fn) {
  size_t i = 0;
  while (i < p.size()) {
    size_t j = p.find('/', i);
    if (j == std::string_view::npos) j = p.size();
    if (j > i) fn(p.substr(i, j - i));
    i = j + 1;
  }
}

std::vector<std::string_view> split_components(std::string_view p) {
  std::vector<std::string_view> out;
  for_each_component(p, [&](std::string_view c) { out.push_back(c); });
  return out;
}

using json::debug_quoted;

// ---------------------------------------------------------------------------
// Manifest reading.

json::Status read_manifest_record(json::Reader& in, SnapshotManifest& m) {
  json::Field codec_fields[] = {
      {"quantization", [&] { return in.read_string(m.codecs.quantization); }},
      {"key", [&] { return in.read_string(m.codecs.key); }},
  };
  json::Field stats_fields[] = {
      {"pack_count", [&] { return in.read_u64(m.stats.pack_count); }},
      {"owner_count", [&] { return in.read_u64(m.stats.owner_count); }},
  };
  json::Field fields[] = {
      {"magic", [&] { return in.read_string(m.magic); }},
      {"format_version", [&]() -> json::Status {
         uint64_t version = 0;
         QVN_TRY_VOID(in.read_unsigned(UINT8_MAX, "u8", version));
         m.format_version = static_cast<uint8_t>(version);
         return {};
       }},
      {"created_at", [&] { return in.read_string(m.created_at); }},
      {"codecs", [&] { return in.read_record(codec_fields, "struct SnapshotCodecs"); }},
      {"stats", [&] { return in.read_record(stats_fields, "struct SnapshotStats"); }},
      {"sha256", [&] { return in.read_string(m.sha256); }},
  };
  return in.read_record(fields, "struct SnapshotManifest");
}

// ---------------------------------------------------------------------------
// Archive writing.

// One header block in the GNU form: magic "ustar " and version " \0", octal
// fields zero-padded and NUL-terminated, every field not named left zero.
std::array<char, snapshot::kTarBlock> manifest_header(uint64_t size) {
  std::array<char, snapshot::kTarBlock> h{};
  auto octal = [&](size_t at, size_t width, uint64_t v) {
    for (size_t k = width - 1; k-- > 0; v >>= 3) h[at + k] = static_cast<char>('0' + (v & 7));
  };
  std::memcpy(h.data(), snapshot::kManifestName, sizeof(snapshot::kManifestName) - 1);
  octal(100, 8, snapshot::kManifestMode);
  octal(124, 12, size);
  octal(136, 12, 0);  // mtime
  std::memcpy(h.data() + 257, "ustar  ", 8);  // magic and version, NUL included
  std::memset(h.data() + 148, ' ', 8);
  uint32_t sum = 0;
  for (char c : h) sum += static_cast<unsigned char>(c);
  octal(148, 7, sum);  // six digits, then a NUL and the space
  h[154] = '\0';
  return h;
}

struct WriteClient {
  platform::File* file;
  std::optional<IoError> error;
  bool discard = false;
};

la_ssize_t write_cb(struct archive* a, void* client, const void* buf, size_t len) {
  auto* c = static_cast<WriteClient*>(client);
  if (c->discard) return static_cast<la_ssize_t>(len);
  auto r = c->file->write_all(buf, len);
  if (!r.ok()) {
    c->error = r.error();
    archive_set_error(a, EIO, "%s", r.error().message.c_str());
    return -1;
  }
  return static_cast<la_ssize_t>(len);
}

EngineError archive_failure(struct archive* a, const std::optional<IoError>& client_error) {
  if (client_error) return *client_error;
  const char* msg = archive_error_string(a);
  return IoError::invalid_data(msg ? msg : "archive error");
}

using ArchivePtr = std::unique_ptr<struct archive, int (*)(struct archive*)>;
using EntryPtr = std::unique_ptr<struct archive_entry, void (*)(struct archive_entry*)>;

std::string state_name(const std::string& rel) {
  return rel.empty() ? std::string(snapshot::kStateDir) : std::string(snapshot::kStateDir) + "/" + rel;
}

Result<void> append_engine_state(struct archive* a, WriteClient& client, const std::string& engine_dir,
                                 const std::vector<snapshot::detail::StateEntry>& entries) {
  std::vector<uint8_t> buf;
  for (const auto& st : entries) {
    EntryPtr e(archive_entry_new(), archive_entry_free);
    archive_entry_set_pathname(e.get(), state_name(st.rel).c_str());
    archive_entry_set_filetype(e.get(), st.is_dir ? AE_IFDIR : AE_IFREG);
    archive_entry_set_perm(e.get(), st.is_dir ? snapshot::kDirMode
                                    : st.executable ? snapshot::kExecFileMode
                                                    : snapshot::kFileMode);
    archive_entry_set_size(e.get(), st.is_dir ? 0 : static_cast<la_int64_t>(st.size));
    archive_entry_set_mtime(e.get(), snapshot::kStateMtime, 0);
    archive_entry_set_uid(e.get(), 0);
    archive_entry_set_gid(e.get(), 0);
    if (archive_write_header(a, e.get()) < ARCHIVE_WARN) {
      return make_unexpected(archive_failure(a, client.error));
    }
    if (st.is_dir) continue;

    QVN_TRY(platform::File f, platform::File::open(platform::join(engine_dir, st.rel),
                                                   platform::Access::Read, platform::Create::No,
                                                   platform::Links::Follow));
    Sha256 h;
    QVN_TRY_VOID(stream_range(f, 0, st.size, [&](const uint8_t* p, size_t n) -> IoResult<void> {
      h.update(p, n);
      if (archive_write_data(a, p, n) != static_cast<la_ssize_t>(n)) {
        return make_unexpected(client.error ? *client.error
                                            : IoError::other(archive_error_string(a)));
      }
      return {};
    }));
    uint8_t extra;
    QVN_TRY(size_t more, f.pread_some(&extra, 1, st.size));
    QVN_TRY(Digest d, h.finish());
    if (more != 0 || d != st.digest) {
      return make_unexpected(EngineError::snapshot_integrity(
          "state file " + st.rel + " changed while the snapshot was written"));
    }
  }
  return {};
}

// Absolute, link-free form of out_path; nullopt when it does not resolve.
std::optional<std::string> resolve_out_path(const std::string& out_path) {
  if (auto r = platform::real_path(out_path); r.ok()) return r.value();
  std::string_view p = out_path;
  while (p.size() > 1 && p.back() == '/') p.remove_suffix(1);
  size_t slash = p.rfind('/');
  std::string parent = slash == std::string_view::npos ? "." : std::string(p.substr(0, slash));
  if (parent.empty()) parent = "/";
  std::string last(slash == std::string_view::npos ? p : p.substr(slash + 1));
  auto rp = platform::real_path(parent);
  if (!rp.ok()) return std::nullopt;
  if (last.empty() || last == "." || last == "..") return rp.value();
  return platform::join(rp.value(), last);
}

Result<void> refuse_out_path_inside(const std::string& engine_dir, const std::string& out_path) {
  auto eng = platform::real_path(engine_dir);
  auto out = resolve_out_path(out_path);
  if (!eng.ok() || !out) return {};
  auto ec = split_components(eng.value());
  auto oc = split_components(*out);
  if (oc.size() >= ec.size() && std::equal(ec.begin(), ec.end(), oc.begin())) {
    return make_unexpected(EngineError::snapshot_integrity(
        "out_path (" + out_path + ") is inside engine_dir (" + engine_dir +
        "); pick a path outside the engine directory"));
  }
  return {};
}

// Where the archive really goes. A symbolic link at out_path is written
// through, as opening it for writing would: the archive replaces the link's
// final target and the link stays. A dangling link gets its target created
// (`created`) so the target's name can be resolved without reading links.
struct WriteTarget {
  std::string path;
  bool created = false;
};

Result<WriteTarget> write_target(const std::string& out_path) {
  QVN_TRY(std::optional<platform::FileInfo> own, platform::file_info(out_path, false));
  if (!own || own->kind != platform::FileKind::Symlink) return WriteTarget{out_path, false};
  if (auto real = platform::real_path(out_path); real.ok()) return WriteTarget{real.value(), false};
  // Exclusive creation would refuse the link itself; this follows it.
  QVN_TRY(platform::File made, platform::File::open(out_path, platform::Access::Write,
                                                    platform::Create::IfMissing, platform::Links::Follow));
  QVN_TRY_VOID(made.close());
  auto real = platform::real_path(out_path);
  if (!real.ok()) return make_unexpected(std::move(real).error());
  return WriteTarget{real.value(), true};
}

// The temporary file sits beside the archive (the rename must stay on one
// file system) and its name must fit the 255-byte limit of a name even when
// out_path's own name nearly fills it: a long name is cut, on a UTF-8
// character boundary, to leave room for the unique suffix.
std::string temp_prefix_for(const std::string& out_path) {
  constexpr size_t kNameMax = 255;
  // ".partial-", then two decimal u64 values and a dash (create_unique).
  constexpr size_t kSuffixMax = 9 + 20 + 1 + 20;
  size_t slash = out_path.rfind('/');
  size_t base_at = slash == std::string::npos ? 0 : slash + 1;
  size_t keep = out_path.size() - base_at;
  if (keep > kNameMax - kSuffixMax) {
    keep = kNameMax - kSuffixMax;
    while (keep > 0 && (static_cast<uint8_t>(out_path[base_at + keep]) & 0xC0) == 0x80) --keep;
  }
  return out_path.substr(0, base_at + keep) + ".partial-";
}

using DirId = std::pair<uint64_t, uint64_t>;

// The files the engine itself reads and appends to. An archive holds them as
// the engine would read them: a link, or anything but a regular file, under
// one of their names fails the snapshot rather than leave the file out or
// archive whatever the link points at.
bool engine_file_name(std::string_view name) {
  for (std::string_view own : {std::string_view(text_store_format::FILE_NAME),
                               std::string_view(deletion_log_format::FILE_NAME),
                               std::string_view(trace_format::FILE_NAME),
                               std::string_view(synaptic_format::FILE_NAME),
                               std::string_view(SCHEDULE_FILE_NAME),
                               std::string_view(vamana_format::FILE_NAME)}) {
    if (name == own) return true;
  }
  return is_segment_file_name(name);
}

Result<void> walk_dir(const std::string& dir, const std::string& rel, std::vector<DirId>& ancestors,
                      std::vector<snapshot::detail::StateEntry>& out) {
  QVN_TRY(std::vector<std::string> names, platform::list_dir(dir));
  std::sort(names.begin(), names.end());
  for (const auto& name : names) {
    std::string path = platform::join(dir, name);
    std::string child = rel.empty() ? name : rel + "/" + name;
    QVN_TRY(std::optional<platform::FileInfo> info, rel.empty() && engine_file_name(name)
                                                        ? platform::own_file_info(path)
                                                        : platform::file_info(path, true));
    if (!info) continue;  // dangling link, or removed meanwhile
    if (info->kind == platform::FileKind::Directory) {
      DirId id{info->device, info->inode};
      if (std::find(ancestors.begin(), ancestors.end(), id) != ancestors.end()) {
        return make_unexpected(IoError::os(ELOOP));
      }
      out.push_back({child, true, false, 0, {}});
      ancestors.push_back(id);
      QVN_TRY_VOID(walk_dir(path, child, ancestors, out));
      ancestors.pop_back();
    } else if (info->kind == platform::FileKind::Regular) {
      out.push_back({child, false, (info->mode & 0100) != 0, 0, {}});
    }
  }
  return {};
}

// ---------------------------------------------------------------------------
// Archive reading. libarchive reads through the platform layer; entry data is
// never loaded whole, only located, so it can later be hashed and copied
// straight from the file.

struct ReadClient {
  const platform::File* file;
  uint64_t size = 0;
  uint64_t pos = 0;
  std::vector<uint8_t> buf = std::vector<uint8_t>(kChunk);
  std::optional<IoError> error;
};

la_ssize_t read_cb(struct archive* a, void* client, const void** out) {
  auto* c = static_cast<ReadClient*>(client);
  auto r = c->file->pread_some(c->buf.data(), c->buf.size(), c->pos);
  if (!r.ok()) {
    c->error = r.error();
    archive_set_error(a, EIO, "%s", r.error().message.c_str());
    return -1;
  }
  c->pos += r.value();
  *out = c->buf.data();
  return static_cast<la_ssize_t>(r.value());
}

la_int64_t skip_cb(struct archive*, void* client, la_int64_t request) {
  auto* c = static_cast<ReadClient*>(client);
  uint64_t avail = c->size > c->pos ? c->size - c->pos : 0;
  uint64_t n = std::min<uint64_t>(static_cast<uint64_t>(request), avail);
  c->pos += n;
  return static_cast<la_int64_t>(n);
}

struct StateRef {
  std::string rel;
  uint64_t offset = 0;
  uint64_t size = 0;
  Digest digest{};
};

struct ArchiveScan {
  std::optional<std::string> manifest;
  std::vector<StateRef> state;
};

// ManifestOnly reads every "manifest.json" entry and nothing else; both
// modes keep the last such entry, so a listing shows the manifest that a
// restore would check.
enum class ScanMode { ManifestOnly, Restore };

EngineError entry_too_large(uint64_t cap) {
  return EngineError::snapshot_integrity("entry exceeds maximum allowed size of " +
                                         std::to_string(cap) + " bytes");
}

Result<std::string> read_entry_capped(struct archive* a, ReadClient& client, uint64_t cap) {
  std::string out;
  std::vector<char> chunk(kChunk);
  for (;;) {
    la_ssize_t n = archive_read_data(a, chunk.data(), chunk.size());
    if (n < 0) return make_unexpected(archive_failure(a, client.error));
    if (n == 0) return out;
    if (out.size() + static_cast<uint64_t>(n) > cap) return make_unexpected(entry_too_large(cap));
    out.append(chunk.data(), static_cast<size_t>(n));
  }
}

// The path under "engine_state" of a state entry ("" for that directory
// itself), or nullopt for any other entry. A path that is empty, absolute or
// climbs with ".." is refused outright when `refuse_unsafe`.
EngineError unsafe_path(std::string_view path) {
  return EngineError::snapshot_integrity("unsafe path in archive: " + debug_quoted(path));
}

Result<std::optional<std::string>> classify_state_path(std::string_view path, bool refuse_unsafe) {
  auto comps = split_components(path);
  bool climbs = std::find(comps.begin(), comps.end(), "..") != comps.end();
  bool unsafe = path.empty() || path.front() == '/' || climbs;
  std::optional<std::string> rel;
  if (!comps.empty() && comps.front() == snapshot::kStateDir && path.front() != '/') {
    std::string r;
    for (size_t k = 1; k < comps.size(); ++k) {
      if (comps[k] == ".") continue;
      if (!r.empty()) r += '/';
      r += comps[k];
    }
    rel = std::move(r);
  }
  if (unsafe && refuse_unsafe) return make_unexpected(unsafe_path(path));
  if (unsafe) return std::optional<std::string>();
  return rel;
}

Result<ArchiveScan> scan_archive(const platform::File& f, uint64_t file_size, ScanMode mode) {
  ArchivePtr a(archive_read_new(), archive_read_free);
  archive_read_support_format_tar(a.get());
  archive_read_support_format_empty(a.get());
  ReadClient client{&f, file_size, 0, std::vector<uint8_t>(kChunk), std::nullopt};
  if (archive_read_open2(a.get(), &client, nullptr, read_cb, skip_cb, nullptr) != ARCHIVE_OK) {
    return make_unexpected(archive_failure(a.get(), client.error));
  }
  ArchiveScan scan;
  struct archive_entry* e = nullptr;
  for (;;) {
    int r = archive_read_next_header(a.get(), &e);
    if (r == ARCHIVE_EOF) break;
    // ARCHIVE_RETRY is a damaged header (bad checksum) with a cleared entry,
    // not an entry to look at.
    if (r != ARCHIVE_OK && r != ARCHIVE_WARN) return make_unexpected(archive_failure(a.get(), client.error));
    const char* raw = archive_entry_pathname(e);
    std::string_view path = raw ? raw : "";
    if (path == snapshot::kManifestName) {
      QVN_TRY(std::string m, read_entry_capped(a.get(), client, snapshot::kManifestCap));
      scan.manifest = std::move(m);
      continue;
    }
    if (mode == ScanMode::ManifestOnly) continue;
    QVN_TRY(std::optional<std::string> rel, classify_state_path(path, true));
    if (!rel || archive_entry_sparse_count(e) != 0) continue;
    // The data follows the entry's own header block directly; its type byte
    // is read from there since libarchive folds several tar types together.
    uint64_t offset = static_cast<uint64_t>(archive_filter_bytes(a.get(), -1));
    if (offset < snapshot::kTarBlock) return make_unexpected(IoError::invalid_data("bad tar offset"));
    char type = 0;
    QVN_TRY_VOID(f.pread_exact(&type, 1, offset - snapshot::kTarBlock + 156));
    if (type != '0' && type != '\0') continue;
    // A file named like the state directory itself would land on target_dir.
    if (rel->empty()) return make_unexpected(unsafe_path(path));
    uint64_t size = static_cast<uint64_t>(archive_entry_size(e));
    if (size > snapshot::kStateFileCap) return make_unexpected(entry_too_large(snapshot::kStateFileCap));
    if (size > file_size || offset > file_size - size) return make_unexpected(IoError::unexpected_eof());
    scan.state.push_back({std::move(*rel), offset, size, {}});
  }
  return scan;
}

Result<SnapshotManifest> check_manifest_header(const std::optional<std::string>& text) {
  if (!text) return make_unexpected(EngineError::not_a_snapshot("manifest.json missing"));
  QVN_TRY(SnapshotManifest m, SnapshotManifest::parse(*text));
  if (m.magic != snapshot::kMagic) {
    return make_unexpected(EngineError::not_a_snapshot("unexpected magic: " + debug_quoted(m.magic)));
  }
  if (m.format_version != snapshot::kFormatVersion) {
    return make_unexpected(
        EngineError::unsupported_snapshot_format_version(m.format_version, snapshot::kFormatVersion));
  }
  return m;
}

Result<void> require_empty_target(const std::string& target_dir) {
  QVN_TRY(std::optional<platform::FileInfo> info, platform::file_info(target_dir, true));
  if (!info) return {};
  if (info->kind != platform::FileKind::Directory) return make_unexpected(IoError::os(ENOTDIR));
  QVN_TRY(std::vector<std::string> names, platform::list_dir(target_dir));
  if (!names.empty()) {
    return make_unexpected(EngineError::snapshot_integrity(
        "target_dir (" + target_dir + ") is not empty; restore into an empty or new directory"));
  }
  return {};
}

// The directory holding `path`, for syncing the entry of a new name.
std::string parent_of(const std::string& path) {
  size_t slash = path.find_last_not_of('/');
  slash = slash == std::string::npos ? std::string::npos : path.find_last_of('/', slash);
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Creates each missing directory between target_dir and the file `rel`,
// refusing anything on the way that is not a real directory (a link there
// could lead outside target_dir).
IoResult<void> make_parents_inside(const std::string& target_dir, std::string_view rel,
                                   std::vector<std::string>& created) {
  auto comps = split_components(rel);
  std::string dir = target_dir;
  for (size_t k = 0; k + 1 < comps.size(); ++k) {
    dir = platform::join(dir, std::string(comps[k]));
    auto made = platform::create_dir(dir);
    if (made.ok()) {
      created.push_back(dir);
      continue;
    }
    if (made.error().kind != IoError::Kind::Os || made.error().os_code != EEXIST) {
      return make_unexpected(std::move(made).error());
    }
    QVN_TRY(std::optional<platform::FileInfo> info, platform::file_info(dir, false));
    if (!info || info->kind != platform::FileKind::Directory) {
      return make_unexpected(IoError::os(ENOTDIR));
    }
  }
  return {};
}

}  // namespace

// ---------------------------------------------------------------------------

SnapshotManifest SnapshotManifest::create(std::string sha256, uint64_t pack_count,
                                          uint64_t owner_count) {
  SnapshotManifest m;
  m.magic = snapshot::kMagic;
  m.format_version = snapshot::kFormatVersion;
  m.created_at = "@" + std::to_string(platform::now_unix_nanos() / 1000000000ull);
  m.codecs = {snapshot::kQuantizationCodec, snapshot::kKeyCodec};
  m.stats = {pack_count, owner_count};
  m.sha256 = std::move(sha256);
  return m;
}

Result<std::string> SnapshotManifest::to_json() const {
  json::PrettyWriter w;
  auto write = [&]() -> Expected<void, std::string> {
    w.begin_object();
    w.key("magic");
    QVN_TRY_VOID(w.string(magic));
    w.key("format_version");
    w.number(uint64_t{format_version});
    w.key("created_at");
    QVN_TRY_VOID(w.string(created_at));
    w.key("codecs");
    w.begin_object();
    w.key("quantization");
    QVN_TRY_VOID(w.string(codecs.quantization));
    w.key("key");
    QVN_TRY_VOID(w.string(codecs.key));
    w.end_object();
    w.key("stats");
    w.begin_object();
    w.key("pack_count");
    w.number(stats.pack_count);
    w.key("owner_count");
    w.number(stats.owner_count);
    w.end_object();
    w.key("sha256");
    QVN_TRY_VOID(w.string(sha256));
    w.end_object();
    return {};
  };
  if (auto r = write(); !r.ok()) {
    return make_unexpected(EngineError::snapshot_integrity("manifest serialize: " + r.error()));
  }
  return w.take();
}

Result<SnapshotManifest> SnapshotManifest::parse(std::string_view text) {
  SnapshotManifest m;
  auto r = json::read_document(text, [&](json::Reader& in) { return read_manifest_record(in, m); });
  if (!r.ok()) return make_unexpected(EngineError::not_a_snapshot("manifest parse: " + r.error()));
  return m;
}

namespace snapshot {

bool path_less(std::string_view a, std::string_view b) {
  auto ca = split_components(a);
  auto cb = split_components(b);
  return std::lexicographical_compare(ca.begin(), ca.end(), cb.begin(), cb.end());
}

std::string hex_digest(const uint8_t* bytes, size_t len) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(len * 2);
  for (size_t k = 0; k < len; ++k) {
    out += kHex[bytes[k] >> 4];
    out += kHex[bytes[k] & 15];
  }
  return out;
}

Result<std::vector<std::string>> collect_files(const std::string& engine_dir) {
  QVN_TRY(std::vector<detail::StateEntry> entries, detail::walk_state(engine_dir));
  std::vector<std::string> files;
  for (auto& e : entries) {
    if (!e.is_dir) files.push_back(std::move(e.rel));
  }
  std::stable_sort(files.begin(), files.end(), path_less);
  return files;
}

namespace detail {

Result<std::vector<StateEntry>> walk_state(const std::string& engine_dir) {
  QVN_TRY(std::optional<platform::FileInfo> root, platform::file_info(engine_dir, true));
  if (!root) return make_unexpected(IoError::os(ENOENT));
  std::vector<StateEntry> out;
  out.push_back({"", true, false, 0, {}});
  std::vector<DirId> ancestors{{root->device, root->inode}};
  QVN_TRY_VOID(walk_dir(engine_dir, "", ancestors, out));
  return out;
}

Result<std::string> hash_state(const std::string& engine_dir, std::vector<StateEntry>& entries) {
  std::vector<StateEntry*> files;
  for (auto& e : entries) {
    if (!e.is_dir) files.push_back(&e);
  }
  std::stable_sort(files.begin(), files.end(),
                   [](const StateEntry* x, const StateEntry* y) { return path_less(x->rel, y->rel); });
  Sha256 total;
  for (StateEntry* e : files) {
    QVN_TRY(platform::File f, platform::File::open(platform::join(engine_dir, e->rel),
                                                   platform::Access::Read, platform::Create::No,
                                                   platform::Links::Follow));
    QVN_TRY(e->size, f.size());
    hash_file_header(total, e->rel, e->size);
    Sha256 own;
    QVN_TRY_VOID(stream_range(f, 0, e->size, [&](const uint8_t* p, size_t n) -> IoResult<void> {
      total.update(p, n);
      own.update(p, n);
      return {};
    }));
    uint8_t extra;
    QVN_TRY(size_t more, f.pread_some(&extra, 1, e->size));
    if (more != 0) {
      return make_unexpected(EngineError::snapshot_integrity(
          "state file " + e->rel + " changed while the snapshot was written"));
    }
    QVN_TRY(e->digest, own.finish());
  }
  QVN_TRY(Digest d, total.finish());
  return hex_digest(d.data(), d.size());
}

Result<void> write_archive(const std::string& engine_dir, const std::vector<StateEntry>& entries,
                           const std::string& manifest_json, const std::string& out_path) {
  QVN_TRY(auto created, platform::create_unique(temp_prefix_for(out_path)));
  // Named references rather than a structured binding: the lambda below
  // captures them, which clang before 16 refuses for a binding.
  platform::File& file = created.first;
  const std::string& tmp = created.second;
  auto write_all = [&]() -> Result<void> {
    auto header = manifest_header(manifest_json.size());
    QVN_TRY_VOID(file.write_all(header.data(), header.size()));
    QVN_TRY_VOID(file.write_all(manifest_json.data(), manifest_json.size()));
    size_t pad = (kTarBlock - manifest_json.size() % kTarBlock) % kTarBlock;
    const std::array<char, kTarBlock> zeros{};
    QVN_TRY_VOID(file.write_all(zeros.data(), pad));

    ArchivePtr a(archive_write_new(), archive_write_free);
    WriteClient client{&file, std::nullopt, false};
    if (archive_write_set_format_gnutar(a.get()) != ARCHIVE_OK ||
        archive_write_add_filter_none(a.get()) != ARCHIVE_OK ||
        archive_write_set_bytes_per_block(a.get(), kTarBlock) != ARCHIVE_OK ||
        archive_write_open2(a.get(), &client, nullptr, write_cb, nullptr, nullptr) != ARCHIVE_OK) {
      return make_unexpected(archive_failure(a.get(), client.error));
    }
    if (auto r = append_engine_state(a.get(), client, engine_dir, entries); !r.ok()) {
      // Let libarchive close normally (it frees its buffers only then) into
      // a sink that drops the bytes; the temporary file is removed anyway.
      client.discard = true;
      archive_write_close(a.get());
      return r;
    }
    if (archive_write_close(a.get()) != ARCHIVE_OK) {
      return make_unexpected(archive_failure(a.get(), client.error));
    }
    QVN_TRY_VOID(file.sync());
    QVN_TRY_VOID(file.close());
    QVN_TRY_VOID(platform::rename(tmp, out_path));
    // The new name is durable only with its directory; should this sync
    // fail, the whole archive stays under `out_path` and the error says
    // that it may not survive a power loss.
    QVN_TRY_VOID(platform::sync_dir(parent_of(out_path)));
    return {};
  };
  auto r = write_all();
  if (!r.ok()) {
    (void)file.close();
    (void)platform::unlink(tmp);
  }
  return r;
}

}  // namespace detail

Result<SnapshotManifest> write_snapshot(const std::string& engine_dir, const std::string& out_path,
                                        uint64_t pack_count, uint64_t owner_count) {
  QVN_TRY_VOID(refuse_out_path_inside(engine_dir, out_path));
  QVN_TRY(std::vector<detail::StateEntry> entries, detail::walk_state(engine_dir));
  QVN_TRY(std::string digest, detail::hash_state(engine_dir, entries));
  SnapshotManifest manifest = SnapshotManifest::create(std::move(digest), pack_count, owner_count);
  QVN_TRY(std::string json, manifest.to_json());
  QVN_TRY(WriteTarget target, write_target(out_path));
  if (target.path != out_path) {
    // A link may lead anywhere, the engine directory included.
    if (auto inside = refuse_out_path_inside(engine_dir, target.path); !inside.ok()) {
      if (target.created) (void)platform::unlink(target.path);
      return make_unexpected(EngineError::snapshot_integrity(
          "out_path (" + out_path + ") is inside engine_dir (" + engine_dir +
          "); pick a path outside the engine directory"));
    }
  }
  auto written = detail::write_archive(engine_dir, entries, json, target.path);
  if (!written.ok()) {
    if (target.created) (void)platform::unlink(target.path);
    return make_unexpected(std::move(written).error());
  }
  return manifest;
}

Result<SnapshotManifest> read_manifest(const std::string& in_path) {
  QVN_TRY(platform::File f, platform::File::open(in_path, platform::Access::Read, platform::Create::No,
                                                 platform::Links::Follow));
  QVN_TRY(uint64_t size, f.size());
  QVN_TRY(ArchiveScan scan, scan_archive(f, size, ScanMode::ManifestOnly));
  return check_manifest_header(scan.manifest);
}

namespace {

// Writes the checked entries under target_dir (missing or empty), all or
// nothing: every file and directory is synced before success is reported,
// and a failure removes what this call created, so the same restore can be
// run again into the same place.
Result<void> write_restored(const platform::File& f, const std::vector<const StateRef*>& to_write,
                            const std::string& target_dir) {
  QVN_TRY(std::optional<platform::FileInfo> before, platform::file_info(target_dir, true));
  std::vector<std::string> dirs, files;
  auto write_all = [&]() -> Result<void> {
    QVN_TRY_VOID(platform::create_dir_all(target_dir));
    for (const StateRef* s : to_write) {
      QVN_TRY_VOID(make_parents_inside(target_dir, s->rel, dirs));
      // Exclusive creation never follows a link at the last component.
      std::string path = platform::join(target_dir, s->rel);
      QVN_TRY(platform::File out, platform::File::open(path, platform::Access::Write,
                                                       platform::Create::Exclusive));
      files.push_back(path);
      Sha256 own;
      QVN_TRY_VOID(stream_range(f, s->offset, s->size, [&](const uint8_t* p, size_t n) -> IoResult<void> {
        own.update(p, n);
        return out.write_all(p, n);
      }));
      QVN_TRY(Digest written, own.finish());
      if (written != s->digest) {
        return make_unexpected(EngineError::snapshot_integrity("archive changed during restore: " + s->rel));
      }
      QVN_TRY_VOID(out.sync());
      QVN_TRY_VOID(out.close());
    }
    for (auto d = dirs.rbegin(); d != dirs.rend(); ++d) QVN_TRY_VOID(platform::sync_dir(*d));
    QVN_TRY_VOID(platform::sync_dir(target_dir));
    if (!before) QVN_TRY_VOID(platform::sync_dir(parent_of(target_dir)));
    return {};
  };
  auto r = write_all();
  if (!r.ok()) {
    // Best effort; whatever cannot be removed is reported by the next
    // restore as a target that is not empty.
    for (auto p = files.rbegin(); p != files.rend(); ++p) (void)platform::unlink(*p);
    for (auto d = dirs.rbegin(); d != dirs.rend(); ++d) (void)platform::remove_dir(*d);
    if (!before) (void)platform::remove_dir(target_dir);
  }
  return r;
}

}  // namespace

Result<SnapshotManifest> restore_snapshot(const std::string& in_path, const std::string& target_dir) {
  QVN_TRY(platform::File f, platform::File::open(in_path, platform::Access::Read, platform::Create::No,
                                                 platform::Links::Follow));
  QVN_TRY(uint64_t size, f.size());
  QVN_TRY(ArchiveScan scan, scan_archive(f, size, ScanMode::Restore));
  QVN_TRY(SnapshotManifest m, check_manifest_header(scan.manifest));
  if (m.codecs.quantization != kQuantizationCodec) {
    return make_unexpected(
        EngineError::snapshot_codec_mismatch("quantization", m.codecs.quantization, kQuantizationCodec));
  }
  if (m.codecs.key != kKeyCodec) {
    return make_unexpected(EngineError::snapshot_codec_mismatch("key", m.codecs.key, kKeyCodec));
  }

  auto& state = scan.state;
  std::stable_sort(state.begin(), state.end(),
                   [](const StateRef& x, const StateRef& y) { return path_less(x.rel, y.rel); });
  Sha256 total;
  for (StateRef& s : state) {
    hash_file_header(total, s.rel, s.size);
    Sha256 own;
    QVN_TRY_VOID(stream_range(f, s.offset, s.size, [&](const uint8_t* p, size_t n) -> IoResult<void> {
      total.update(p, n);
      own.update(p, n);
      return {};
    }));
    QVN_TRY(s.digest, own.finish());
  }
  QVN_TRY(Digest d, total.finish());
  std::string computed = hex_digest(d.data(), d.size());
  if (computed != m.sha256) {
    return make_unexpected(EngineError::snapshot_integrity("sha256 mismatch: manifest=" + m.sha256 +
                                                           ", computed=" + computed));
  }
  // Of equal paths only the last is written, which is what writing them all
  // in order would leave. A path that is a file and also a parent of another
  // could not be written whole, so it is refused before writing anything.
  std::vector<const StateRef*> to_write;
  for (size_t k = 0; k < state.size(); ++k) {
    if (k + 1 < state.size()) {
      const std::string& next = state[k + 1].rel;
      if (next == state[k].rel) continue;
      if (next.size() > state[k].rel.size() && next.compare(0, state[k].rel.size(), state[k].rel) == 0 &&
          next[state[k].rel.size()] == '/') {
        return make_unexpected(EngineError::snapshot_integrity(
            "archive holds " + state[k].rel + " both as a file and as a directory"));
      }
    }
    to_write.push_back(&state[k]);
  }

  // Last of the checks: a problem with the archive itself is reported first,
  // whatever the target holds.
  QVN_TRY_VOID(require_empty_target(target_dir));
  QVN_TRY_VOID(write_restored(f, to_write, target_dir));
  return m;
}

}  // namespace snapshot
}  // namespace qvn
