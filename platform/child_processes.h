// The helper programs Velmira starts (the media players of the preview),
// remembered so that shutdown ends exactly those and never another process
// that happens to carry the same name or a reused process id.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace velmira {

// Remembers a started process by its id and start time.
void RememberChildProcess(pid_t pid);

// Sends SIGTERM to every remembered process that still runs (the same id
// with the same start time) and forgets them all. Returns how many were sent.
size_t EndRememberedProcesses();

}  // namespace velmira
