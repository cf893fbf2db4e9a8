#pragma once

namespace mirelo {

// Makes SIGTERM cancel the running preparation instead of ending the process. SIGTERM is
// blocked in the calling thread (call it before any other thread starts, so that every
// thread inherits the mask) and one watcher thread forwards every delivery to
// ChildProcesses::shared().cancel(). Children get an empty mask back when spawned.
void installPreparationTermination();

}  // namespace mirelo
