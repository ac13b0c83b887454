// Every live maintenance handle of the process, so that interpreter exit can
// stop and join all of their threads before anything is torn down: an engine
// held by a module global is never deallocated, and its thread would
// otherwise keep working on the engine while the process shuts down.
//
// Every operation that changes or reads a handle's thread runs under the
// registry mutex, so the exit hook never races a start, a stop or a
// deallocation on another thread. Joins happen under that mutex too; this is
// safe because the maintenance threads never take it, nor the interpreter
// lock. Nothing here touches a Python object except the exit hook's
// registration.
#pragma once

#include "py_ref.h"

#include <memory>
#include <string>

#include "core/error.h"
#include "engine/maintenance.h"

namespace qvn::py::maintenance {

// A new registered handle (fresh statistics, no thread). Releasing the last
// reference unregisters it, then stops and joins its thread.
std::shared_ptr<MaintenanceHandle> make_handle(const MaintenanceConfig& config);

// MaintenanceHandle::start, refused once the interpreter has begun to exit.
Expected<void, std::string> start(MaintenanceHandle& handle, EngineHandle engine);
void stop(MaintenanceHandle& handle);
bool is_running(const MaintenanceHandle& handle);

// Registers the hook with the `atexit` module; safe to call on every import.
bool register_exit_hook();

}  // namespace qvn::py::maintenance
