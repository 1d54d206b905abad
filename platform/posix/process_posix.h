// The POSIX backend's watched children and guard test (process_posix.cpp).
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "platform/system.h"

namespace lumivora::platform {

// Watches the started child PID until it ends; it is reaped only then.
std::unique_ptr<WatchedProcess> WatchChild(pid_t pid);

// True when a process holds a flock lock on the file at PATH, found without
// locking it.
bool FlockHeld(const std::string& path);

}  // namespace lumivora::platform
