// Every live maintenance handle of the process, so that interpreter exit can
// stop and join all of their threads before anything is torn down: an engine
// held by a module global is never deallocated, and its thread would
// otherwise keep working on the engine while the process shuts down.
//
// Each handle has a mutex of its own under which its thread is started,
// stopped, joined and tested, so the exit hook never races a start, a stop or
// a deallocation on another thread. The process-wide registry mutex guards
// only the set of handles and the closed mark and is never held across a
// join: stopping one engine's thread (which can wait for a whole sweep) never
// delays another engine's maintenance methods. The maintenance threads take
// neither mutex, nor the interpreter lock. Nothing here touches a Python
// object.
#pragma once

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
bool is_running(MaintenanceHandle& handle);

// Stops and joins every registered thread and refuses later starts (run at
// interpreter exit).
void stop_all();

}  // namespace qvn::py::maintenance
