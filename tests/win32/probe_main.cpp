// win32_probe: a program that the process-start tests start. It writes the
// command line it received into "started.txt" beside itself and exits.
#include <cstdio>
#include <string>

#include "platform/win32/windows_api.h"

int main() {
  char path[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder(path, length);
  folder.erase(folder.find_last_of('\\') + 1);
  const std::string report = folder + "started.txt";
  std::FILE* file = std::fopen(report.c_str(), "wb");
  if (file == nullptr) {
    return 1;
  }
  std::fputs(::GetCommandLineA(), file);
  std::fclose(file);
  return 0;
}
