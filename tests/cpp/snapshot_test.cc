#include "engine/snapshot.h"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/fault.h"
#include "core/platform.h"
#include "support/temp_dir.h"

namespace qvn {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

std::string read_text(const std::string& path) {
  auto b = test::read_bytes(path);
  return std::string(b.begin(), b.end());
}

void put(const std::string& path, const std::string& content) {
  fs::create_directories(fs::path(path).parent_path());
  test::write_bytes(path, std::vector<uint8_t>(content.begin(), content.end()));
}

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
  SnapshotManifest m{magic, version, "@1", {quant, key}, {0, 0}, sha};
  return m.to_json().value();
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
    out.push_back({archive_entry_pathname(e), archive_entry_filetype(e),
                   static_cast<int>(archive_entry_perm(e)), archive_entry_mtime(e),
                   archive_entry_uid(e), archive_entry_gid(e), archive_entry_size(e)});
  }
  archive_read_free(a);
  return out;
}

std::vector<std::string> dir_names(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string random_bytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

TEST(SnapshotManifestTest, JsonIsByteExactAndParsesBack) {
  std::string sha(64, 'a');
  SnapshotManifest m{"qvn!", 1, "@1700000000", {"q4", "top5avg"}, {3, 18446744073709551615ull}, sha};
  const std::string want =
      "{\n"
      "  \"magic\": \"qvn!\",\n"
      "  \"format_version\": 1,\n"
      "  \"created_at\": \"@1700000000\",\n"
      "  \"codecs\": {\n"
      "    \"quantization\": \"q4\",\n"
      "    \"key\": \"top5avg\"\n"
      "  },\n"
      "  \"stats\": {\n"
      "    \"pack_count\": 3,\n"
      "    \"owner_count\": 18446744073709551615\n"
      "  },\n"
      "  \"sha256\": \"" + sha + "\"\n"
      "}";
  ASSERT_EQ(m.to_json().value(), want);
  EXPECT_EQ(SnapshotManifest::parse(want).value(), m);

  uint64_t before = platform::now_unix_nanos() / 1000000000ull;
  SnapshotManifest c = SnapshotManifest::create(sha, 5, 2);
  EXPECT_EQ(c.magic, "qvn!");
  EXPECT_EQ(c.format_version, 1);
  EXPECT_EQ(c.codecs, (SnapshotCodecs{"q4", "top5avg"}));
  EXPECT_EQ(c.stats, (SnapshotStats{5, 2}));
  ASSERT_EQ(c.created_at[0], '@');
  EXPECT_GE(std::stoull(c.created_at.substr(1)), before);

  // Strings are escaped as JSON requires, and nothing more: non-ASCII and
  // DEL pass through, other control characters become \u00xx.
  SnapshotManifest odd = m;
  odd.magic = std::string("q\"\\/\b\f\n\r\t\x01\x1f\x7f\xc3\xa9", 14);
  const std::string odd_json = odd.to_json().value();
  EXPECT_NE(odd_json.find("\"magic\": \"q\\\"\\\\/\\b\\f\\n\\r\\t\\u0001\\u001f\x7f\xc3\xa9\",\n"),
            std::string::npos)
      << odd_json;
  EXPECT_EQ(SnapshotManifest::parse(odd_json).value(), odd);

  // Invalid UTF-8 cannot be serialised.
  m.created_at = "\xff";
  auto bad = m.to_json();
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().kind(), EngineError::Kind::SnapshotIntegrity);
  EXPECT_EQ(bad.error().text().rfind("manifest serialize: ", 0), 0u);
}

TEST(SnapshotManifestTest, ParseAcceptsEveryShape) {
  auto arr = SnapshotManifest::parse(
      " [\"qvn!\", 7 ,\"@5\", [\"q4\",\"top5avg\"],\n"
      " {\"owner_count\": 2, \"x\": [1, {\"y\": null}], \"pack_count\": 3}, \"ab\"]\t");
  ASSERT_TRUE(arr.ok()) << arr.error().to_string();
  EXPECT_EQ(arr.value(), (SnapshotManifest{"qvn!", 7, "@5", {"q4", "top5avg"}, {3, 2}, "ab"}));

  auto obj = SnapshotManifest::parse(
      "{\"sha256\":\"s\",\"extra\":{\"magic\":1},\"stats\":[0,0],\"codecs\":{\"key\":\"k\","
      "\"quantization\":\"q\"},\"created_at\":\"@0\",\"format_version\":255,\"magic\":\"m\"}");
  ASSERT_TRUE(obj.ok()) << obj.error().to_string();
  EXPECT_EQ(obj.value(), (SnapshotManifest{"m", 255, "@0", {"q", "k"}, {0, 0}, "s"}));
}

TEST(SnapshotManifestTest, ParseErrorsNameTheProblemAndItsPosition) {
  const std::string ok_tail = "\"created_at\":\"@0\",\"codecs\":[\"q4\",\"top5avg\"],\"stats\":[1,2],"
                              "\"sha256\":\"s\"";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"{\"magic\":\"a\",\"magic\":\"b\",\"format_version\":1," + ok_tail + "}",
       "duplicate field `magic` at line 1 column 20"},
      {"{\"magic\":\"a\",\"format_version\":1,\"created_at\":\"@0\",\"codecs\":[\"q4\",\"k\"],"
       "\"stats\":[1,2]}",
       "missing field `sha256` at line 1 column 84"},
      {"{\"magic\":\"a\",\"format_version\":256," + ok_tail + "}",
       "invalid value: integer `256`, expected u8 at line 1 column 33"},
      {"{\"magic\":\"a\",\"format_version\":1.0," + ok_tail + "}",
       "invalid type: floating point `1.0`, expected u8 at line 1 column 33"},
      {"{\"magic\":\"a\",\"format_version\":1,\"created_at\":\"@0\",\"codecs\":[\"q4\",\"k\"],"
       "\"stats\":[-1,2],\"sha256\":\"s\"}",
       "invalid value: integer `-1`, expected u64 at line 1 column 81"},
      {"{\"magic\":\"a\",\"format_version\":1,\"created_at\":\"@0\",\"codecs\":\"q4\","
       "\"stats\":[1,2],\"sha256\":\"s\"}",
       "invalid type: string \"q4\", expected struct SnapshotCodecs at line 1 column 63"},
      {"{\"magic\":\"a\",\"format_version\":1,\"created_at\":\"@0\",\"codecs\":[\"q4\"],"
       "\"stats\":[1,2],\"sha256\":\"s\"}",
       "invalid length 1, expected struct SnapshotCodecs with 2 elements at line 1 column 65"},
      {"{\"magic\":\"a\",\"format_version\":1,\"created_at\":\"@0\",\"codecs\":[\"q4\",\"k\"],"
       "\"stats\":{\"pack_count\":1},\"sha256\":\"s\"}",
       "missing field `owner_count` at line 1 column 94"},
      {"[\"qvn!\",1,\"@0\",[\"q4\",\"k\"],[1,2]]",
       "invalid length 5, expected struct SnapshotManifest with 6 elements at line 1 column 32"},
      {"{\"magic\":7,\"format_version\":1," + ok_tail + "}",
       "invalid type: integer `7`, expected a string at line 1 column 10"},
      {"{\"magic\":\"a\",\"format_version\":1," + ok_tail + "} x", "trailing characters at line 1 column 105"},
      {"", "EOF while parsing a value at line 1 column 0"},
      {std::string(300, '[') + std::string(300, ']'), "invalid type: sequence, expected a string at line 1 column 1"},
  };
  for (const auto& [json, want] : cases) {
    auto r = SnapshotManifest::parse(json);
    ASSERT_FALSE(r.ok()) << json;
    EXPECT_EQ(r.error().kind(), EngineError::Kind::NotASnapshot);
    EXPECT_EQ(r.error().to_string(), "not a QuorvaneDB snapshot: manifest parse: " + want);
  }
}

TEST(SnapshotTest, DigestCoversFilesInComponentOrder) {
  TempDir t;
  std::string eng = t.file("engine");
  put(eng + "/a.txt", "T");
  put(eng + "/a/b", "BB");
  put(eng + "/a/c/d", "");
  fs::create_directories(eng + "/empty");

  auto files = snapshot::collect_files(eng);
  ASSERT_TRUE(files.ok());
  EXPECT_EQ(files.value(), (std::vector<std::string>{"a/b", "a/c/d", "a.txt"}));

  auto m1 = snapshot::write_snapshot(eng, t.file("one.tar"), 4, 2);
  ASSERT_TRUE(m1.ok()) << m1.error().to_string();
  EXPECT_EQ(m1->sha256, digest_of({{"a/b", "BB"}, {"a/c/d", ""}, {"a.txt", "T"}}));
  EXPECT_EQ(m1->stats, (SnapshotStats{4, 2}));

  // An unchanged directory gives the same digest; only created_at may differ.
  auto m2 = snapshot::write_snapshot(eng, t.file("two.tar"), 4, 2);
  ASSERT_TRUE(m2.ok());
  m2->created_at = m1->created_at;
  EXPECT_EQ(m2.value(), m1.value());

  TempDir empty;
  auto m3 = snapshot::write_snapshot(empty.path(), t.file("three.tar"), 0, 0);
  ASSERT_TRUE(m3.ok());
  EXPECT_EQ(m3->sha256, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(SnapshotTest, ArchiveLayout) {
  TempDir t;
  std::string eng = t.file("engine");
  std::string long_name = std::string(120, 'n') + ".bin";
  put(eng + "/plain.bin", "plain");
  put(eng + "/run.sh", "#!");
  fs::permissions(eng + "/run.sh", fs::perms::owner_exec, fs::perm_options::add);
  put(eng + "/sub/" + long_name, "long");
  std::string out = t.file("snap.tar");
  auto m = snapshot::write_snapshot(eng, out, 0, 0);
  ASSERT_TRUE(m.ok()) << m.error().to_string();

  std::string raw = read_text(out);
  ASSERT_EQ(raw.size() % 512, 0u);
  EXPECT_EQ(raw.substr(raw.size() - 1024), std::string(1024, '\0'));
  std::string json = m->to_json().value();
  std::string h = raw.substr(0, 512);
  EXPECT_EQ(h.substr(0, 100), std::string("manifest.json") + std::string(87, '\0'));
  EXPECT_EQ(h.substr(100, 8), std::string("0000644\0", 8));
  EXPECT_EQ(h.substr(108, 16), std::string(16, '\0'));  // uid, gid
  char size_field[12];
  std::snprintf(size_field, sizeof size_field, "%011o", static_cast<unsigned>(json.size()));
  EXPECT_EQ(h.substr(124, 12), std::string(size_field, 12));
  EXPECT_EQ(h.substr(136, 12), std::string("00000000000\0", 12));
  EXPECT_EQ(h[156], '\0');
  EXPECT_EQ(h.substr(257, 8), std::string("ustar  \0", 8));
  EXPECT_EQ(h.substr(265, 64), std::string(64, '\0'));  // owner and group names
  unsigned sum = 0;
  for (int i = 0; i < 512; ++i) sum += (i >= 148 && i < 156) ? ' ' : static_cast<unsigned char>(h[i]);
  EXPECT_EQ(std::stoul(h.substr(148, 6), nullptr, 8), sum);
  EXPECT_EQ(raw.substr(512, json.size()), json);
  EXPECT_EQ(raw.substr(512 + json.size(), 512 - json.size() % 512), std::string(512 - json.size() % 512, '\0'));

  auto listed = list_tar(out);
  std::map<std::string, Listed> by_name;
  ASSERT_FALSE(listed.empty());
  EXPECT_EQ(listed[0].path, "manifest.json");
  EXPECT_EQ(listed[1].type, AE_IFDIR);
  EXPECT_EQ(listed[1].path.rfind("engine_state", 0), 0u);
  for (size_t i = 1; i < listed.size(); ++i) {
    const auto& l = listed[i];
    EXPECT_EQ(l.mtime, 1153704088) << l.path;
    EXPECT_EQ(l.uid, 0);
    EXPECT_EQ(l.gid, 0);
    by_name[l.path] = l;
  }
  EXPECT_EQ(by_name["engine_state/plain.bin"].perm, 0644);
  EXPECT_EQ(by_name["engine_state/run.sh"].perm, 0755);
  EXPECT_EQ(by_name["engine_state/sub/" + long_name].size, 4);
  EXPECT_EQ(listed.size(), 6u);  // manifest, 2 directories, 3 files

  auto read = snapshot::read_manifest(out);
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(read.value(), m.value());
}

TEST(SnapshotTest, RoundTripRestoresByteIdenticalFiles) {
  TempDir t;
  std::string eng = t.file("engine");
  std::map<std::string, std::string> files = {
      {"segment_000001.qvn", random_bytes(300000, 1)},
      {"text_store.bin", random_bytes(70000, 2)},
      {"deletion_log.bin", ""},
      {"trace/trace.wal", random_bytes(26, 3)},
      {"sub/deeper/" + std::string(150, 'x'), "long-named"},
  };
  for (const auto& [rel, content] : files) put(eng + "/" + rel, content);
  fs::create_directories(eng + "/emptydir");
  put(t.file("outside.bin"), "through a link");
  fs::create_symlink(t.file("outside.bin"), eng + "/linked.bin");
  files["linked.bin"] = "through a link";

  auto written = snapshot::write_snapshot(eng, t.file("snap.tar"), 7, 1);
  ASSERT_TRUE(written.ok()) << written.error().to_string();
  std::string target = t.file("restored/nested");
  auto restored = snapshot::restore_snapshot(t.file("snap.tar"), target);
  ASSERT_TRUE(restored.ok()) << restored.error().to_string();
  EXPECT_EQ(restored.value(), written.value());

  auto got = snapshot::collect_files(target);
  ASSERT_TRUE(got.ok());
  ASSERT_EQ(got->size(), files.size());
  for (const auto& [rel, content] : files) {
    EXPECT_EQ(read_text(target + "/" + rel), content) << rel;
    EXPECT_FALSE(fs::is_symlink(target + "/" + rel));
  }
  EXPECT_FALSE(fs::exists(target + "/emptydir"));

  // An existing empty directory is an acceptable target too.
  fs::create_directories(t.file("empty_target"));
  EXPECT_TRUE(snapshot::restore_snapshot(t.file("snap.tar"), t.file("empty_target")).ok());
}

TEST(SnapshotTest, OutPathInsideEngineDirIsRefused) {
  TempDir t;
  std::string eng = t.file("engine");
  put(eng + "/f", "x");
  fs::create_directories(eng + "/sub");
  fs::create_directories(t.file("engine2"));
  fs::create_symlink(eng, t.file("alias"));

  auto self = snapshot::write_snapshot(eng, eng, 0, 0);
  ASSERT_FALSE(self.ok());
  EXPECT_EQ(self.error().kind(), EngineError::Kind::SnapshotIntegrity);
  EXPECT_EQ(self.error().text(), "out_path (" + eng + ") is inside engine_dir (" + eng +
                                     "); pick a path outside the engine directory");
  for (const std::string& out : {eng + "/s.tar", eng + "/sub/../s.tar", t.file("alias") + "/s.tar"}) {
    auto r = snapshot::write_snapshot(eng, out, 0, 0);
    ASSERT_FALSE(r.ok()) << out;
    EXPECT_EQ(r.error().kind(), EngineError::Kind::SnapshotIntegrity);
  }
  EXPECT_EQ(dir_names(eng), (std::vector<std::string>{"f", "sub"}));
  EXPECT_TRUE(dir_names(eng + "/sub").empty());

  EXPECT_TRUE(snapshot::write_snapshot(eng, t.file("engine2/s.tar"), 0, 0).ok());
}

TEST(SnapshotTest, OutPathLinksAreWrittenThroughAndLongNamesFit) {
  TempDir t;
  std::string eng = t.file("engine");
  put(eng + "/f", "x");
  fs::create_directories(t.file("out"));
  put(t.file("out/target.tar"), "old");
  fs::create_symlink(t.file("out/target.tar"), t.file("link.tar"));
  fs::create_symlink("out/new.tar", t.file("dangling.tar"));
  fs::create_symlink(eng + "/inside.tar", t.file("into_engine.tar"));

  for (const char* link : {"link.tar", "dangling.tar"}) {
    auto r = snapshot::write_snapshot(eng, t.file(link), 0, 0);
    ASSERT_TRUE(r.ok()) << link << ": " << r.error().to_string();
    EXPECT_TRUE(fs::is_symlink(t.file(link))) << link;
    EXPECT_EQ(list_tar(t.file(link)).at(0).path, "manifest.json");
  }
  EXPECT_EQ(dir_names(t.file("out")), (std::vector<std::string>{"new.tar", "target.tar"}));
  auto inside = snapshot::write_snapshot(eng, t.file("into_engine.tar"), 0, 0);
  ASSERT_FALSE(inside.ok());
  EXPECT_EQ(inside.error().kind(), EngineError::Kind::SnapshotIntegrity);
  EXPECT_EQ(dir_names(eng), std::vector<std::string>{"f"});

  // Names of 255 bytes, the last character multi-byte where the temporary
  // name would cut it.
  for (const std::string& name : {std::string(251, 'a') + ".tar", std::string(204, 'b') + "\xc3\xa9" + std::string(45, 'c') + ".tar"}) {
    ASSERT_EQ(name.size(), 255u);
    auto r = snapshot::write_snapshot(eng, t.file("out/" + name), 0, 0);
    ASSERT_TRUE(r.ok()) << r.error().to_string();
    EXPECT_TRUE(fs::is_regular_file(t.file("out/" + name)));
  }
  EXPECT_EQ(dir_names(t.file("out")).size(), 4u);
}

TEST(SnapshotTest, FailedSnapshotLeavesNoPartialArchive) {
  TempDir t;
  std::string eng = t.file("engine");
  put(eng + "/big", random_bytes(200000, 4));
  std::string out_dir = t.file("out");
  fs::create_directories(out_dir);
  put(out_dir + "/keep.tar", "previous archive");

  for (const char* name : {"keep.tar", "new.tar"}) {
    // Writes 1-3 are the manifest entry; later ones come through libarchive.
    for (auto [op, nth] : {std::pair{platform::fault::Op::Write, 3}, {platform::fault::Op::Write, 5},
                           {platform::fault::Op::Sync, 1}, {platform::fault::Op::Rename, 1}}) {
      platform::fault::arm(op, nth, ENOSPC);
      auto r = snapshot::write_snapshot(eng, out_dir + "/" + name, 0, 0);
      bool fired = platform::fault::fired();
      platform::fault::disarm();
      ASSERT_TRUE(fired);
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error().kind(), EngineError::Kind::StorageIo);
      EXPECT_EQ(dir_names(out_dir), std::vector<std::string>{"keep.tar"});
      EXPECT_EQ(read_text(out_dir + "/keep.tar"), "previous archive");
    }
  }
  ASSERT_TRUE(snapshot::write_snapshot(eng, out_dir + "/keep.tar", 0, 0).ok());
  EXPECT_EQ(dir_names(out_dir), std::vector<std::string>{"keep.tar"});
}

TEST(SnapshotTest, FileChangedBetweenReadsFailsSnapshot) {
  TempDir t;
  std::string eng = t.file("engine");
  put(eng + "/a", "first content");
  put(eng + "/b", "stable");
  auto entries = snapshot::detail::walk_state(eng);
  ASSERT_TRUE(entries.ok());
  ASSERT_TRUE(snapshot::detail::hash_state(eng, entries.value()).ok());
  put(eng + "/a", "other content");  // same size
  auto r = snapshot::detail::write_archive(eng, entries.value(), "{}", t.file("s.tar"));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), EngineError::Kind::SnapshotIntegrity);
  EXPECT_EQ(r.error().text(), "state file a changed while the snapshot was written");
  EXPECT_EQ(dir_names(t.path()), std::vector<std::string>{"engine"});
}

TEST(SnapshotTest, SymlinkLoopFailsWalk) {
  TempDir t;
  std::string eng = t.file("engine");
  put(eng + "/d/f", "x");
  fs::create_directory_symlink("..", eng + "/d/up");
  auto r = snapshot::write_snapshot(eng, t.file("s.tar"), 0, 0);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), EngineError::Kind::StorageIo);
  EXPECT_EQ(r.error().io().os_code, ELOOP);
  EXPECT_FALSE(fs::exists(t.file("s.tar")));
}

class RestoreTest : public ::testing::Test {
 protected:
  TempDir t;
  std::string archive = t.file("a.tar");
  std::string target = t.file("target");

  // Restores `archive` and expects failure with nothing written.
  EngineError expect_refused() {
    auto r = snapshot::restore_snapshot(archive, target);
    EXPECT_FALSE(r.ok());
    EXPECT_FALSE(fs::exists(target));
    EXPECT_EQ(dir_names(t.path()), std::vector<std::string>{"a.tar"});
    return r.ok() ? EngineError::index("restore succeeded") : r.error();
  }
};

TEST_F(RestoreTest, TamperedArchivesAreRefusedBeforeWriting) {
  const std::string content = "state-bytes-0123456789";
  const std::string sha = digest_of({{"f", content}});
  auto with_manifest = [&](const std::string& json) {
    build_tar(archive, {{"manifest.json", json}, {"engine_state", "", true}, {"engine_state/f", content}});
  };

  with_manifest(manifest_text(sha));
  std::string raw = read_text(archive);
  size_t at = raw.find(content);
  ASSERT_NE(at, std::string::npos);
  test::flip_byte(archive, at + 3);
  EngineError e = expect_refused();
  EXPECT_EQ(e.kind(), EngineError::Kind::SnapshotIntegrity);
  EXPECT_EQ(e.text(), "sha256 mismatch: manifest=" + sha + ", computed=" +
                          digest_of({{"f", raw.substr(at, 3) + static_cast<char>(raw[at + 3] ^ 0xff) +
                                               raw.substr(at + 4, content.size() - 4)}}));

  with_manifest(manifest_text(sha, 1, "qvn?"));
  EXPECT_EQ(expect_refused().to_string(), "not a QuorvaneDB snapshot: unexpected magic: \"qvn?\"");

  // The version is refused before anything is hashed: the digest is wrong too.
  with_manifest(manifest_text(std::string(64, '0'), 2));
  EXPECT_EQ(expect_refused().to_string(), "unsupported snapshot format version 2, supported: 1");

  with_manifest(manifest_text(sha, 1, "qvn!", "q8"));
  EXPECT_EQ(expect_refused().to_string(), "snapshot codec mismatch for quantization: snapshot=q8, engine=q4");
  with_manifest(manifest_text(sha, 1, "qvn!", "q4", "top1"));
  EXPECT_EQ(expect_refused().to_string(), "snapshot codec mismatch for key: snapshot=top1, engine=top5avg");

  std::string upper = sha;
  for (auto& c : upper) c = static_cast<char>(std::toupper(c));
  with_manifest(manifest_text(upper));
  EXPECT_EQ(expect_refused().kind(), EngineError::Kind::SnapshotIntegrity);

  with_manifest("{not json");
  EXPECT_EQ(expect_refused().to_string().rfind("not a QuorvaneDB snapshot: manifest parse: ", 0), 0u);

  build_tar(archive, {{"./manifest.json", manifest_text(sha)}, {"engine_state/f", content}});
  EXPECT_EQ(expect_refused().to_string(), "not a QuorvaneDB snapshot: manifest.json missing");

  test::write_bytes(archive, {});
  EXPECT_EQ(expect_refused().to_string(), "not a QuorvaneDB snapshot: manifest.json missing");
  EXPECT_EQ(snapshot::read_manifest(archive).error().to_string(),
            "not a QuorvaneDB snapshot: manifest.json missing");

  test::write_bytes(archive, std::vector<uint8_t>(2048, 'g'));
  EXPECT_EQ(expect_refused().kind(), EngineError::Kind::StorageIo);

  // Cut inside the state file's data.
  with_manifest(manifest_text(sha));
  test::truncate_to(archive, at + 5);
  EXPECT_EQ(expect_refused().kind(), EngineError::Kind::StorageIo);

  // A header that fails its checksum is damage, not an entry without a name.
  with_manifest(manifest_text(sha));
  test::flip_byte(archive, at - 512 + 100);  // mode field of the file's header
  e = expect_refused();
  EXPECT_EQ(e.kind(), EngineError::Kind::StorageIo);
  EXPECT_EQ(e.text().find("unsafe path"), std::string::npos) << e.text();
}

TEST_F(RestoreTest, ManifestEntryCap) {
  const std::string sha = digest_of({});
  std::string json = manifest_text(sha);
  json.append(1048576 - json.size(), ' ');
  build_tar(archive, {{"manifest.json", json}});
  auto ok = snapshot::restore_snapshot(archive, target);
  ASSERT_TRUE(ok.ok()) << ok.error().to_string();
  EXPECT_EQ(ok->sha256, sha);
  EXPECT_TRUE(dir_names(target).empty());
  fs::remove(target);

  build_tar(archive, {{"manifest.json", json + " "}});
  EXPECT_EQ(expect_refused().to_string(),
            "snapshot integrity check failed: entry exceeds maximum allowed size of 1048576 bytes");
}

// A listing must show the manifest that a restore checks.
TEST_F(RestoreTest, RestoreAndReadManifestBothTakeTheLastManifest) {
  const std::string sha = digest_of({{"f", "x"}});
  build_tar(archive, {{"manifest.json", manifest_text(sha, 2)},
                      {"engine_state/f", "x"},
                      {"manifest.json", manifest_text(sha)}});
  auto r = snapshot::restore_snapshot(archive, target);
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  EXPECT_EQ(read_text(target + "/f"), "x");
  auto listed = snapshot::read_manifest(archive);
  ASSERT_TRUE(listed.ok()) << listed.error().to_string();
  EXPECT_EQ(*listed, *r);
  fs::remove_all(target);

  build_tar(archive, {{"manifest.json", manifest_text(sha)},
                      {"engine_state/f", "x"},
                      {"manifest.json", manifest_text(sha, 2)}});
  EXPECT_EQ(snapshot::read_manifest(archive).error().kind(),
            EngineError::Kind::UnsupportedSnapshotFormatVersion);
  EXPECT_EQ(expect_refused().kind(), EngineError::Kind::UnsupportedSnapshotFormatVersion);
}

TEST_F(RestoreTest, DuplicatePathsLeaveTheLast) {
  const std::string sha = digest_of({{"f", "one"}, {"f", "two"}});
  build_tar(archive, {{"manifest.json", manifest_text(sha)}, {"engine_state/f", "one"}, {"engine_state/f", "two"}});
  ASSERT_TRUE(snapshot::restore_snapshot(archive, target).ok());
  EXPECT_EQ(read_text(target + "/f"), "two");
}

TEST_F(RestoreTest, UnsafePathsAreRefused) {
  const std::string sha = digest_of({{"good", "g"}});
  const std::string outside = t.file("evil");
  for (const std::string& bad : {std::string("engine_state/../evil"), std::string("engine_state/a/../../evil"),
                                 std::string("../evil"), outside, std::string("engine_state"),
                                 std::string("engine_state/./")}) {
    build_tar(archive, {{"manifest.json", manifest_text(sha)}, {"engine_state/good", "g"}, {bad, "bad"}});
    EngineError e = expect_refused();
    EXPECT_EQ(e.kind(), EngineError::Kind::SnapshotIntegrity) << bad;
    EXPECT_EQ(e.text().rfind("unsafe path in archive: ", 0), 0u) << e.text();
    EXPECT_FALSE(fs::exists(outside));
  }

  // A path that is both a file and a directory cannot be written whole.
  build_tar(archive, {{"manifest.json", manifest_text(digest_of({{"a", "1"}, {"a/b", "2"}}))},
                      {"engine_state/a", "1"},
                      {"engine_state/a/b", "2"}});
  EXPECT_EQ(expect_refused().text(), "archive holds a both as a file and as a directory");

  // Entries outside engine_state that are harmless are skipped unread.
  build_tar(archive, {{"manifest.json", manifest_text(sha)}, {"engine_state/good", "g"},
                      {"./engine_state/x", "skipped"}, {"engine_state_old/y", "skipped"}});
  ASSERT_TRUE(snapshot::restore_snapshot(archive, target).ok());
  EXPECT_EQ(dir_names(target), std::vector<std::string>{"good"});
}

TEST_F(RestoreTest, NonEmptyTargetIsRefused) {
  TempDir eng;
  put(eng.path() + "/f", "new");
  ASSERT_TRUE(snapshot::write_snapshot(eng.path(), archive, 0, 0).ok());
  put(target + "/old", "old");
  auto r = snapshot::restore_snapshot(archive, target);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(), "snapshot integrity check failed: target_dir (" + target +
                                       ") is not empty; restore into an empty or new directory");
  EXPECT_EQ(dir_names(target), std::vector<std::string>{"old"});

  put(t.file("plain"), "");
  EXPECT_EQ(snapshot::restore_snapshot(archive, t.file("plain")).error().kind(),
            EngineError::Kind::StorageIo);

  // Checked last: a missing or unsupported archive is reported as such.
  EXPECT_EQ(snapshot::restore_snapshot(t.file("missing.tar"), target).error().io().os_code, ENOENT);
  build_tar(archive, {{"manifest.json", manifest_text(std::string(64, '0'), 2)}});
  EXPECT_EQ(snapshot::restore_snapshot(archive, target).error().kind(),
            EngineError::Kind::UnsupportedSnapshotFormatVersion);
  EXPECT_EQ(dir_names(target), std::vector<std::string>{"old"});
}

}  // namespace
}  // namespace qvn
