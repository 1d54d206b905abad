// The single-instance guard that the main program holds while it runs.
//
// On Windows it is the named mutex. On POSIX it is an exclusive advisory lock
// (flock) on the file "<name>.lock" in the user's private runtime folder (the
// same folder that TempFolder() gives): the lock is held while the holder's
// descriptor is open and vanishes with the process, so a crashed main program
// never leaves a stale guard. The launcher only tests the lock.
#pragma once

#include <memory>
#include <string>

namespace lumivora::platform {

class InstanceGuard {
 public:
  InstanceGuard(const InstanceGuard&) = delete;
  InstanceGuard& operator=(const InstanceGuard&) = delete;
  ~InstanceGuard();

  // Takes the guard NAME; nullptr when another process holds it.
  static std::unique_ptr<InstanceGuard> Acquire(const std::string& name);

 private:
  struct State;
  explicit InstanceGuard(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace lumivora::platform
