// What `_native` does when the interpreter exits, through a hook registered
// with `atexit` (it runs before the interpreter begins to finalize, while
// daemon threads may still be inside engine operations):
//   1. stop and join every maintenance thread;
//   2. stop threads that come back from native work from retaking the
//      interpreter lock (begin_interpreter_exit): a finalizing interpreter
//      would end them there with a forced unwind;
//   3. drain the write buffer of every engine still open, so that no pack
//      whose write was acknowledged is lost, whoever still holds the engine.
#pragma once

#include "engine_object.h"

namespace qvn::py {

// Records an engine opened for Python (weakly: the record never keeps it
// alive) so that the exit hook can drain its write buffer.
void track_engine(const EngineHandle& engine);

// Registers the hook with the `atexit` module; safe to call on every import.
bool register_exit_hook();

}  // namespace qvn::py
