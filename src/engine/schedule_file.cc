#include "engine/schedule_file.h"

#include <cmath>

#include "engine/json_record.h"

namespace qvn {

namespace {

using json::Field;
using json::Reader;
using json::Status;

constexpr const char* kActionNames[] = {"EvictDraft"};

// Externally tagged: {"EvictDraft": <record>}.
Status read_action(Reader& in, ScheduledAction& out) {
  return in.read_struct_variant(kActionNames, [&](size_t) -> Status {
    EvictDraft action;
    Field fields[] = {
        {"owner", [&] { return in.read_u64(action.owner); }},
        {"threshold", [&] { return in.read_f32(action.threshold); }},
    };
    QVN_TRY_VOID(in.read_record(fields, "struct variant ScheduledAction::EvictDraft"));
    out = action;
    return {};
  });
}

Status read_entry(Reader& in, DiskEntry& out) {
  Field fields[] = {
      {"id", [&] { return in.read_u64(out.id); }},
      {"fires_at_unix_nanos", [&] { return in.read_u128(out.fires_at_unix_nanos); }},
      {"action", [&] { return read_action(in, out.action); }},
  };
  return in.read_record(fields, "struct DiskEntry");
}

Status read_file(Reader& in, ScheduleFile& out) {
  Field fields[] = {
      {"next_id", [&] { return in.read_u64(out.next_id); }},
      {"entries", [&] {
         return in.read_sequence([&]() -> Status {
           DiskEntry entry;
           QVN_TRY_VOID(read_entry(in, entry));
           out.entries.push_back(std::move(entry));
           return {};
         });
       }},
  };
  return in.read_record(fields, "struct ScheduleFile");
}

}  // namespace

std::string format_threshold(float value) {
  if (std::isinf(value)) return value > 0 ? "4e38" : "-4e38";
  return json::format_f32(value);
}

Expected<std::string, std::string> write_schedule_file(const ScheduleFile& file) {
  json::PrettyWriter w;
  w.begin_object();
  w.key("next_id");
  w.number(file.next_id);
  w.key("entries");
  w.begin_array();
  for (const DiskEntry& e : file.entries) {
    const EvictDraft& a = std::get<EvictDraft>(e.action);
    if (std::isnan(a.threshold)) return make_unexpected(std::string("threshold NaN is not a number the file can hold"));
    w.begin_object();
    w.key("id");
    w.number(e.id);
    w.key("fires_at_unix_nanos");
    w.number(e.fires_at_unix_nanos);
    w.key("action");
    w.begin_object();
    w.key("EvictDraft");
    w.begin_object();
    w.key("owner");
    w.number(a.owner);
    w.key("threshold");
    w.number_text(format_threshold(a.threshold));
    w.end_object();
    w.end_object();
    w.end_object();
  }
  w.end_array();
  w.end_object();
  return w.take();
}

Expected<ScheduleFile, std::string> read_schedule_file(std::string_view bytes) {
  ScheduleFile file;
  QVN_TRY_VOID(json::read_document(bytes, [&](Reader& in) { return read_file(in, file); }));
  return file;
}

}  // namespace qvn
