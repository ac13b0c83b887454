#include "engine/snapshot.h"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/fault.h"
#include "support/engine_fixture.h"

namespace qvn {
namespace {

namespace fs = std::filesystem;
using test::dir_names;
using test::put;
using test::read_text;
using test::TempDir;

// The digest stream built independently: path, 0x00, u64 LE length, bytes,
// for files given already in component order.
std::string digest_of(const std::vector<std::pair<std::string, std::string>>& files) {
  std::string stream;
  for (const auto& [rel, content] : files) {
    stream += rel;
    stream += '\0';
    for (int i = 0; i < 8; ++i) stream += static_cast<char>((content.size() >> (8 * i)) & 0xff);
    stream += content;
  }
  unsigned char md[32];
  unsigned int len = 0;
  EVP_Digest(stream.data(), stream.size(), md, &len, EVP_sha256(), nullptr);
  return snapshot::hex_digest(md, len);
}

std::string manifest_text(const std::string& sha, uint8_t version = 1, const std::string& magic = "qvn!",
                          const std::string& quant = "q4", const std::string& key = "top5avg") {
  return SnapshotManifest{magic, version, "@1", {quant, key}, {0, 0}, sha}.to_json().value();
}

struct TarEntry {
  std::string path;
  std::string data;
  bool dir = false;
};

// Any archive at all, written by libarchive in the GNU form.
void build_tar(const std::string& out, const std::vector<TarEntry>& entries) {
  struct archive* a = archive_write_new();
  archive_write_set_format_gnutar(a);
  ASSERT_EQ(archive_write_open_filename(a, out.c_str()), ARCHIVE_OK);
  for (const auto& t : entries) {
    struct archive_entry* e = archive_entry_new();
    archive_entry_set_pathname(e, t.path.c_str());
    archive_entry_set_filetype(e, t.dir ? AE_IFDIR : AE_IFREG);
    archive_entry_set_perm(e, 0644);
    archive_entry_set_size(e, static_cast<la_int64_t>(t.data.size()));
    ASSERT_EQ(archive_write_header(a, e), ARCHIVE_OK) << t.path;
    if (!t.data.empty()) archive_write_data(a, t.data.data(), t.data.size());
    archive_entry_free(e);
  }
  archive_write_close(a);
  archive_write_free(a);
}

struct Listed {
  std::string path;
  mode_t type;
  int perm;
  int64_t mtime, uid, gid, size;
};

std::vector<Listed> list_tar(const std::string& path) {
  std::vector<Listed> out;
  struct archive* a = archive_read_new();
  archive_read_support_format_tar(a);
  EXPECT_EQ(archive_read_open_filename(a, path.c_str(), 10240), ARCHIVE_OK);
  struct archive_entry* e;
  while (archive_read_next_header(a, &e) == ARCHIVE_OK) {
    out.push_back({archive_entry_pathname(e), archive_entry_filetype(e), static_cast<int>(archive_entry_perm(e)),
                   archive_entry_mtime(e), archive_entry_uid(e), archive_entry_gid(e), archive_entry_size(e)});
  }
  archive_read_free(a);
  return out;
}

std::string random_bytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

TEST(SnapshotManifestTest, JsonIsByteExactAndParseErrorsArePositioned) {
  std::string sha(64, 'a');
  SnapshotManifest m{"qvn!", 1, "@1700000000", {"q4", "top5avg"}, {3, 18446744073709551615ull}, sha};
  const std::string want =
      "{\n  \"magic\": \"qvn!\",\n  \"format_version\": 1,\n  \"created_at\": \"@1700000000\",\n"
      "  \"codecs\": {\n    \"quantization\": \"q4\",\n    \"key\": \"top5avg\"\n  },\n"
      "  \"stats\": {\n    \"pack_count\": 3,\n    \"owner_count\": 18446744073709551615\n  },\n"
      "  \"sha256\": \"" + sha + "\"\n}";
  ASSERT_EQ(m.to_json().value(), want);
  EXPECT_EQ(SnapshotManifest::parse(want).value(), m);

  // Strings are escaped as JSON requires, and nothing more: non-ASCII and
  // DEL pass through, other control characters become \u00xx.
  SnapshotManifest odd = m;
  odd.magic = std::string("q\"\\/\b\f\n\r\t\x01\x1f\x7f\xc3\xa9", 14);
  const std::string odd_json = odd.to_json().value();
  EXPECT_NE(odd_json.find("\"magic\": \"q\\\"\\\\/\\b\\f\\n\\r\\t\\u0001\\u001f\x7f\xc3\xa9\",\n"), std::string::npos);
  EXPECT_EQ(SnapshotManifest::parse(odd_json).value(), odd);
  m.created_at = "\xff";  // invalid UTF-8 cannot be serialised
  EXPECT_EQ(m.to_json().error().text().rfind("manifest serialize: ", 0), 0u);

  const std::string tail = "\"created_at\":\"@0\",\"codecs\":[\"q4\",\"top5avg\"],\"stats\":[1,2],\"sha256\":\"s\"";
  const std::pair<std::string, std::string> cases[] = {
      {"{\"magic\":\"a\",\"magic\":\"b\",\"format_version\":1," + tail + "}", "duplicate field `magic` at line 1 column 20"},
      {"{\"magic\":\"a\",\"format_version\":256," + tail + "}",
       "invalid value: integer `256`, expected u8 at line 1 column 33"},
      {"{\"magic\":\"a\",\"format_version\":1,\"created_at\":\"@0\",\"codecs\":[\"q4\"],\"stats\":[1,2],\"sha256\":\"s\"}",
       "invalid length 1, expected struct SnapshotCodecs with 2 elements at line 1 column 65"},
      {"{\"magic\":7,\"format_version\":1," + tail + "}", "invalid type: integer `7`, expected a string at line 1 column 10"},
      {"{\"magic\":\"a\",\"format_version\":1," + tail + "} x", "trailing characters at line 1 column 105"},
      {"", "EOF while parsing a value at line 1 column 0"},
  };
  for (const auto& [json, text] : cases) {
    auto r = SnapshotManifest::parse(json);
    ASSERT_FALSE(r.ok()) << json;
    EXPECT_EQ(r.error().to_string(), "not a QuorvaneDB snapshot: manifest parse: " + text);
  }
}

TEST(SnapshotTest, DigestOrderArchiveLayoutAndRoundTrip) {
  TempDir t;
  std::string eng = t.file("engine");
  std::map<std::string, std::string> files = {
      {"a.txt", "T"}, {"a/b", "BB"}, {"a/c/d", ""}, {"segment_000001.qvn", random_bytes(300000, 1)},
      {"sub/" + std::string(150, 'x'), "long-named"}, {"run.sh", "#!"},
  };
  for (const auto& [rel, content] : files) put(eng + "/" + rel, content);
  fs::permissions(eng + "/run.sh", fs::perms::owner_exec, fs::perm_options::add);
  fs::create_directories(eng + "/emptydir");
  put(t.file("outside.bin"), "through a link");
  fs::create_symlink(t.file("outside.bin"), eng + "/linked.bin");
  files["linked.bin"] = "through a link";

  EXPECT_EQ(snapshot::collect_files(eng).value(),
            (std::vector<std::string>{"a/b", "a/c/d", "a.txt", "linked.bin", "run.sh", "segment_000001.qvn",
                                      "sub/" + std::string(150, 'x')}));
  const std::string out = t.file("snap.tar");
  auto m = snapshot::write_snapshot(eng, out, 4, 2);
  ASSERT_TRUE(m.ok()) << m.error().to_string();
  std::vector<std::pair<std::string, std::string>> ordered;
  const std::vector<std::string> names = snapshot::collect_files(eng).value();
  for (const auto& rel : names) ordered.push_back({rel, files[rel]});
  EXPECT_EQ(m->sha256, digest_of(ordered));
  EXPECT_EQ(m->stats, (SnapshotStats{4, 2}));
  auto again = snapshot::write_snapshot(eng, t.file("two.tar"), 4, 2);
  again->created_at = m->created_at;
  EXPECT_EQ(again.value(), m.value());
  TempDir empty;
  EXPECT_EQ(snapshot::write_snapshot(empty.path(), t.file("e.tar"), 0, 0)->sha256,
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");

  // The manifest entry's header, byte for byte, then its data.
  std::string raw = read_text(out);
  ASSERT_EQ(raw.size() % 512, 0u);
  EXPECT_EQ(raw.substr(raw.size() - 1024), std::string(1024, '\0'));
  std::string json = m->to_json().value();
  std::string h = raw.substr(0, 512);
  char size_field[12];
  std::snprintf(size_field, sizeof size_field, "%011o", static_cast<unsigned>(json.size()));
  EXPECT_EQ(h.substr(0, 100), std::string("manifest.json") + std::string(87, '\0'));
  EXPECT_EQ(h.substr(100, 8), std::string("0000644\0", 8));
  EXPECT_EQ(h.substr(108, 16), std::string(16, '\0'));  // uid, gid
  EXPECT_EQ(h.substr(124, 12), std::string(size_field, 12));
  EXPECT_EQ(h.substr(136, 12), std::string("00000000000\0", 12));
  EXPECT_EQ(h[156], '\0');
  EXPECT_EQ(h.substr(257, 8), std::string("ustar  \0", 8));
  EXPECT_EQ(h.substr(265, 64), std::string(64, '\0'));  // owner and group names
  unsigned sum = 0;
  for (int i = 0; i < 512; ++i) sum += (i >= 148 && i < 156) ? ' ' : static_cast<unsigned char>(h[i]);
  EXPECT_EQ(std::stoul(h.substr(148, 6), nullptr, 8), sum);
  EXPECT_EQ(raw.substr(512, json.size()), json);

  auto listed = list_tar(out);
  ASSERT_GT(listed.size(), 2u);
  EXPECT_EQ(listed[1].type, AE_IFDIR);
  EXPECT_EQ(listed[1].path.rfind("engine_state", 0), 0u);
  std::map<std::string, Listed> by_name;
  for (size_t i = 1; i < listed.size(); ++i) {
    EXPECT_EQ(listed[i].mtime, 1153704088) << listed[i].path;
    EXPECT_EQ(listed[i].uid + listed[i].gid, 0);
    by_name[listed[i].path] = listed[i];
  }
  EXPECT_EQ(by_name["engine_state/a.txt"].perm, 0644);
  EXPECT_EQ(by_name["engine_state/run.sh"].perm, 0755);
  EXPECT_EQ(snapshot::read_manifest(out).value(), m.value());

  const std::string target = t.file("restored/nested");
  EXPECT_EQ(snapshot::restore_snapshot(out, target).value(), m.value());
  EXPECT_EQ(snapshot::collect_files(target)->size(), files.size());
  for (const auto& [rel, content] : files) {
    EXPECT_EQ(read_text(target + "/" + rel), content) << rel;
    EXPECT_FALSE(fs::is_symlink(target + "/" + rel));
  }
  EXPECT_FALSE(fs::exists(target + "/emptydir"));
}

// An archive written into the engine directory (directly, through `..` or
// through a link) would be part of the state it describes.
TEST(SnapshotTest, OutPathRulesAndFailuresLeaveNothingBehind) {
  TempDir t;
  std::string eng = t.file("engine");
  put(eng + "/f", random_bytes(200000, 4));
  fs::create_directories(eng + "/sub");
  fs::create_symlink(eng, t.file("alias"));
  fs::create_symlink(eng + "/inside.tar", t.file("into_engine.tar"));
  auto self = snapshot::write_snapshot(eng, eng, 0, 0);
  EXPECT_EQ(self.error().text(),
            "out_path (" + eng + ") is inside engine_dir (" + eng + "); pick a path outside the engine directory");
  for (const std::string& out : {eng + "/s.tar", eng + "/sub/../s.tar", t.file("alias") + "/s.tar", t.file("into_engine.tar")}) {
    auto r = snapshot::write_snapshot(eng, out, 0, 0);
    ASSERT_FALSE(r.ok()) << out;
    EXPECT_EQ(r.error().kind(), EngineError::Kind::SnapshotIntegrity);
  }
  EXPECT_EQ(dir_names(eng), (std::vector<std::string>{"f", "sub"}));

  // Links to outside are written through; 255-byte names fit, the last
  // character multi-byte where the temporary name would cut it.
  std::string out_dir = t.file("out");
  put(out_dir + "/keep.tar", "previous archive");
  fs::create_symlink("out/new.tar", t.file("dangling.tar"));
  ASSERT_TRUE(snapshot::write_snapshot(eng, t.file("dangling.tar"), 0, 0).ok());
  EXPECT_TRUE(fs::is_symlink(t.file("dangling.tar")));
  const std::string long_name = std::string(204, 'b') + "\xc3\xa9" + std::string(45, 'c') + ".tar";
  ASSERT_TRUE(snapshot::write_snapshot(eng, out_dir + "/" + long_name, 0, 0).ok());
  EXPECT_EQ(dir_names(out_dir), (std::vector<std::string>{long_name, "keep.tar", "new.tar"}));
  fs::remove(out_dir + "/" + long_name);
  fs::remove(out_dir + "/new.tar");

  // Writes 1-3 are the manifest entry; later ones come through libarchive.
  namespace fault = platform::fault;
  for (auto [op, nth] : {std::pair{fault::Op::Write, 3}, {fault::Op::Write, 5}, {fault::Op::Sync, 1}, {fault::Op::Rename, 1}}) {
    fault::arm(op, nth, ENOSPC);
    auto r = snapshot::write_snapshot(eng, out_dir + "/keep.tar", 0, 0);
    fault::disarm();
    EXPECT_EQ(r.error().kind(), EngineError::Kind::StorageIo);
    EXPECT_EQ(dir_names(out_dir), std::vector<std::string>{"keep.tar"});
    EXPECT_EQ(read_text(out_dir + "/keep.tar"), "previous archive");
  }

  // A file that changes between hashing and archiving fails the snapshot.
  auto entries = snapshot::detail::walk_state(eng);
  ASSERT_TRUE(snapshot::detail::hash_state(eng, entries.value()).ok());
  put(eng + "/f", random_bytes(200000, 5));  // same size
  auto changed = snapshot::detail::write_archive(eng, entries.value(), "{}", t.file("s.tar"));
  EXPECT_EQ(changed.error().text(), "state file f changed while the snapshot was written");
  EXPECT_FALSE(fs::exists(t.file("s.tar")));
}

// Refusals in the order they are checked: each leaves nothing written.
TEST(RestoreTest, RefusalsInTheirOrder) {
  TempDir t;
  const std::string archive = t.file("a.tar"), target = t.file("target");
  const std::string content = "state-bytes-0123456789";
  const std::string sha = digest_of({{"f", content}});
  auto with_manifest = [&](const std::string& json) {
    build_tar(archive, {{"manifest.json", json}, {"engine_state", "", true}, {"engine_state/f", content}});
  };
  auto flipped = [&] {
    with_manifest(manifest_text(sha));
    std::string raw = read_text(archive);
    size_t at = raw.find(content);
    test::flip_byte(archive, at + 3);
    std::string bad = content;
    bad[3] = static_cast<char>(bad[3] ^ 0xff);
    return "snapshot integrity check failed: sha256 mismatch: manifest=" + sha + ", computed=" + digest_of({{"f", bad}});
  };
  std::string upper = sha;
  for (auto& c : upper) c = static_cast<char>(std::toupper(c));
  std::string big = manifest_text(sha);
  big.append(1048576 - big.size() + 1, ' ');
  const std::string unsafe = "unsafe path in archive: ";
  struct Case {
    std::function<std::string()> build;  // returns the expected text, or a prefix ending in ": "
  };
  const Case cases[] = {
      {[&] { return test::write_bytes(archive, {}), std::string("not a QuorvaneDB snapshot: manifest.json missing"); }},
      {[&] { return build_tar(archive, {{"./manifest.json", manifest_text(sha)}}), std::string("not a QuorvaneDB snapshot: manifest.json missing"); }},
      {[&] { return build_tar(archive, {{"manifest.json", big}}), std::string("snapshot integrity check failed: entry exceeds maximum allowed size of 1048576 bytes"); }},
      {[&] { return with_manifest("{not json"), std::string("not a QuorvaneDB snapshot: manifest parse: "); }},
      {[&] { return with_manifest(manifest_text(sha, 1, "qvn?")), std::string("not a QuorvaneDB snapshot: unexpected magic: \"qvn?\""); }},
      // The version is refused before anything is hashed: the digest is wrong too.
      {[&] { return with_manifest(manifest_text(std::string(64, '0'), 2)), std::string("unsupported snapshot format version 2, supported: 1"); }},
      {[&] { return with_manifest(manifest_text(sha, 1, "qvn!", "q8")), std::string("snapshot codec mismatch for quantization: snapshot=q8, engine=q4"); }},
      {[&] { return with_manifest(manifest_text(sha, 1, "qvn!", "q4", "top1")), std::string("snapshot codec mismatch for key: snapshot=top1, engine=top5avg"); }},
      // A later manifest overrides an earlier one, for the check and the listing.
      {[&] { return build_tar(archive, {{"manifest.json", manifest_text(sha)}, {"engine_state/f", content}, {"manifest.json", manifest_text(sha, 2)}}),
                    std::string("unsupported snapshot format version 2, supported: 1"); }},
      {flipped},
      {[&] { return with_manifest(manifest_text(upper)), std::string("snapshot integrity check failed: sha256 mismatch: "); }},
      {[&] { return build_tar(archive, {{"manifest.json", manifest_text(sha)}, {"engine_state/f", content}, {"engine_state/../evil", "x"}}), "snapshot integrity check failed: " + unsafe; }},
      {[&] { return build_tar(archive, {{"manifest.json", manifest_text(sha)}, {"engine_state/f", content}, {"../evil", "x"}}), "snapshot integrity check failed: " + unsafe; }},
      {[&] { return build_tar(archive, {{"manifest.json", manifest_text(sha)}, {"engine_state/f", content}, {t.file("evil"), "x"}}), "snapshot integrity check failed: " + unsafe; }},
      {[&] { return build_tar(archive, {{"manifest.json", manifest_text(sha)}, {"engine_state/f", content}, {"engine_state/./", "x"}}), "snapshot integrity check failed: " + unsafe; }},
      {[&] { return build_tar(archive, {{"manifest.json", manifest_text(digest_of({{"a", "1"}, {"a/b", "2"}}))}, {"engine_state/a", "1"}, {"engine_state/a/b", "2"}}),
                    std::string("snapshot integrity check failed: archive holds a both as a file and as a directory"); }},
  };
  for (const Case& c : cases) {
    const std::string want = c.build();
    auto r = snapshot::restore_snapshot(archive, target);
    ASSERT_FALSE(r.ok()) << want;
    const std::string got = r.error().to_string();
    if (want.size() >= 2 && want.substr(want.size() - 2) == ": ") {
      EXPECT_EQ(got.rfind(want, 0), 0u) << got;
    } else {
      EXPECT_EQ(got, want);
    }
    EXPECT_EQ(dir_names(t.path()), std::vector<std::string>{"a.tar"}) << want;
  }
  // Damage to the archive itself is an I/O failure, not an unsafe entry.
  with_manifest(manifest_text(sha));
  const size_t at = read_text(archive).find(content);
  test::truncate_to(archive, at + 5);
  EXPECT_EQ(snapshot::restore_snapshot(archive, target).error().kind(), EngineError::Kind::StorageIo);
  with_manifest(manifest_text(sha));
  test::flip_byte(archive, at - 512 + 100);  // mode field of the file's header
  auto damaged = snapshot::restore_snapshot(archive, target);
  EXPECT_EQ(damaged.error().kind(), EngineError::Kind::StorageIo);
  EXPECT_EQ(damaged.error().text().find("unsafe"), std::string::npos);

  // The target is checked last; duplicates leave the last copy; entries
  // outside engine_state are skipped.
  put(target + "/old", "old");
  EXPECT_EQ(snapshot::restore_snapshot(t.file("missing.tar"), target).error().io().os_code, ENOENT);
  with_manifest(manifest_text(sha));
  EXPECT_EQ(snapshot::restore_snapshot(archive, target).error().to_string(),
            "snapshot integrity check failed: target_dir (" + target +
                ") is not empty; restore into an empty or new directory");
  fs::remove_all(target);
  build_tar(archive, {{"manifest.json", manifest_text(digest_of({{"f", "one"}, {"f", "two"}}))},
                      {"engine_state/f", "one"}, {"engine_state/f", "two"}, {"./engine_state/x", "skipped"},
                      {"engine_state_old/y", "skipped"}});
  ASSERT_TRUE(snapshot::restore_snapshot(archive, target).ok());
  EXPECT_EQ(dir_names(target), std::vector<std::string>{"f"});
  EXPECT_EQ(read_text(target + "/f"), "two");
}

}  // namespace
}  // namespace qvn
