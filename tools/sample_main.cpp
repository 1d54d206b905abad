// lumivora-sample-main: a sample main program for the demo and the tests. It
// holds the single-instance guard while it runs, and prints the arguments and
// the deciphered hand-off record it received from the launcher. With an
// argument "--hold" it keeps the guard until its standard input closes. When a
// display is available it shows its main window, titled "Lumivora" (the title
// a second launcher start looks for to restore it), and runs until that window
// is closed, or until standard input closes in --hold mode. When the
// environment variable LUMIVORA_SAMPLE_REPORT names a file, the report goes
// there instead of standard output (a program started by the Windows launcher
// gets a console of its own, which a test cannot read). When the variable
// LUMIVORA_SAMPLE_FAIL names this program's version, it is a bad release: it
// ends at once with status 1, before it takes the guard.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <span>
#include <string>

#include "cipher/config_cipher.h"
#include "platform/instance_guard.h"
#include "platform/ui.h"

#ifndef LUMIVORA_SAMPLE_VERSION
#define LUMIVORA_SAMPLE_VERSION "1.0"
#endif

int main(int argc, char** argv) {
  const std::span<char*> args(argv, static_cast<size_t>(argc));
  if (const char* report = std::getenv("LUMIVORA_SAMPLE_REPORT");
      report != nullptr && *report != '\0' && std::freopen(report, "w", stdout) == nullptr) {
    return 4;
  }
  if (const char* bad = std::getenv("LUMIVORA_SAMPLE_FAIL");
      bad != nullptr && std::string(bad) == LUMIVORA_SAMPLE_VERSION) {
    std::printf("Lumivoramain %s failed\n", LUMIVORA_SAMPLE_VERSION);
    return 1;
  }
  const auto guard = lumivora::platform::InstanceGuard::Acquire("LumivoraMutexName");
  if (!guard) {
    std::fputs("Lumivoramain: another instance is running\n", stderr);
    return 3;
  }
  std::printf("Lumivoramain %s started\n", LUMIVORA_SAMPLE_VERSION);
  bool hold = false;
  for (size_t i = 1; i < args.size(); ++i) {
    std::printf("argument %zu: %s\n", i, args[i]);
    hold = hold || std::string(args[i]) == "--hold";
  }
  if (args.size() > 1) {
    const std::string record = lumivora::cipher::DecipherConfigText(args[1]);
    std::printf("hand-off record: %s\n", record.substr(0, record.find('\0')).c_str());
  }
  std::fflush(stdout);
  const std::string windowText = std::string("Lumivoramain ") + LUMIVORA_SAMPLE_VERSION +
                                 " (sample main program started by the launcher)";
  if (hold) {
    std::puts("holding the guard until standard input closes");
    std::fflush(stdout);
  }
  if (lumivora::platform::RunMainWindow("Lumivora", windowText.c_str(), hold)) {
    std::puts("main window ended");
  } else if (hold) {
    std::string line;
    while (std::getline(std::cin, line)) {
    }
  }
  return 0;
}
