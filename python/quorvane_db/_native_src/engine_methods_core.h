// Construction, persistence, configuration, write and read methods of the
// Python class `Engine`. Each function returns the method-table entry of one
// method; engine_object.cc lists them in the class's table order.
#pragma once

#include "py_ref.h"

namespace qvn::py::engine_core {

// Slots of the class itself.
PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs);
PyObject* repr(PyObject* self);

// Construction and persistence.
PyMethodDef restore_from();
PyMethodDef open_with_write_buffer();
PyMethodDef flush();
PyMethodDef flush_buffer();
PyMethodDef refresh();
PyMethodDef snapshot();
PyMethodDef compact();

// Size and shape.
PyMethodDef status();
PyMethodDef cell_count();
PyMethodDef pack_count();
PyMethodDef has_vamana();
PyMethodDef pipeline_stage_count();

// Retrieval settings.
PyMethodDef set_refinement_mode();
PyMethodDef refinement_mode();
PyMethodDef set_token_reweighting();
PyMethodDef token_reweighting();

// Writes.
PyMethodDef mem_write();
PyMethodDef mem_write_batch();
PyMethodDef mem_write_pack();
PyMethodDef mem_write_pack_with_auto_link();
PyMethodDef add_view_keys();
PyMethodDef view_count();

// Reads.
PyMethodDef mem_read();
PyMethodDef mem_read_tokens();
PyMethodDef mem_read_pack();
PyMethodDef mem_read_pack_with_trace_boost();
PyMethodDef mem_read_pack_with_trace_boost_and_follow();
PyMethodDef load_pack_by_id();

}  // namespace qvn::py::engine_core
