#pragma once

namespace mirelo {

// Makes SIGTERM cancel the running preparation instead of ending the process. SIGTERM is
// blocked in the calling thread (call it before any other thread starts, so that every
// thread inherits the mask) and one watcher thread forwards every delivery to
// ChildProcesses::shared().cancel(). Children get an empty mask back when spawned.
// Returns false, with SIGTERM unblocked again, when the watcher cannot be started (no
// thread could be created): the preparation could then not be cancelled.
bool installPreparationTermination();

}  // namespace mirelo
