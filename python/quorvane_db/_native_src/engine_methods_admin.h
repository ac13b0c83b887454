// Engine methods that administer what the engine keeps: adapter entries and
// pack texts, governance, trace and pack links, scheduled actions and the
// maintenance thread. Each function returns the method-table entry of one
// method; engine_object.cc lists them in the class's table order.
#pragma once

#include "py_ref.h"

#include <cstdint>
#include <string>

#include "core/error.h"

namespace qvn::py::admin {

// Adapter and text methods.
PyMethodDef store_synapsis_def();
PyMethodDef load_synapsis_def();
PyMethodDef pack_text_def();
PyMethodDef set_pack_text_def();
PyMethodDef set_pack_texts_def();

// Governance methods.
PyMethodDef cell_importance_def();
PyMethodDef cell_tier_def();
PyMethodDef advance_days_def();
PyMethodDef evict_draft_packs_def();
PyMethodDef sweep_now_def();
PyMethodDef list_owners_def();
PyMethodDef owner_exists_def();
PyMethodDef delete_owner_def();
PyMethodDef pack_importance_def();
PyMethodDef list_packs_def();
PyMethodDef pack_exists_def();
PyMethodDef delete_pack_def();

// Trace and link methods.
PyMethodDef trace_ancestors_def();
PyMethodDef add_pack_edge_def();
PyMethodDef add_pack_link_def();
PyMethodDef pack_links_def();
PyMethodDef pack_links_by_type_def();
PyMethodDef pack_supports_def();
PyMethodDef pack_contradicts_def();

// Scheduling and maintenance methods.
PyMethodDef schedule_evict_draft_def();
PyMethodDef cancel_scheduled_def();
PyMethodDef list_scheduled_def();
PyMethodDef fire_due_scheduled_def();
PyMethodDef start_maintenance_def();
PyMethodDef stop_maintenance_def();
PyMethodDef is_maintenance_running_def();
PyMethodDef maintenance_status_def();

// A non-negative number of seconds as whole seconds and nanoseconds, the
// nanoseconds rounded to nearest (ties to even) from the exact fraction.
// -0.0 is zero. The error is the refusal text for a negative value, or for
// NaN and values whose whole seconds exceed 64 bits.
struct SecondsDuration {
  uint64_t secs = 0;
  uint32_t nanos = 0;
};
Expected<SecondsDuration, std::string> duration_from_secs(double secs);

}  // namespace qvn::py::admin
