#include "launcher/system_services.h"

#include <vector>

#include "platform/exception.h"
#include "platform/file.h"

namespace lumivora::launcher {

std::string GetShellFolder(platform::SystemServices& system, int csidl) {
  if (csidl != kCsidlAppData) {
    return {};
  }
  return system.AppDataFolder();
}

std::string DataFolderPath(platform::SystemServices& system) {
  return GetShellFolder(system, kCsidlAppData) + platform::PathSeparator() +
         platform::ProductName();
}

std::string GetDataFolder(platform::SystemServices& system) {
  std::string path = DataFolderPath(system);
  if (platform::DirectoryExists(path) || platform::CreateDirectory(path)) {
    return path;
  }
  throw Exception("Cannot create folder - " + path);
}

std::string GetTempFolder(platform::SystemServices& system) {
  return system.TempFolder();
}

int GetPlatformId(platform::SystemServices& system, int& major, int& minor) {
  return system.PlatformId(major, minor);
}

bool IsOnline(platform::SystemServices& system) {
  return system.IsOnline();
}

bool StartProgram(platform::SystemServices& system, platform::UserInterface& ui,
                  const platform::CommandLine& commandLine, bool shortMessage) {
  const auto showFailure = [&] {
    platform::MessageBoxRequest box;
    box.caption = "ERROR";
    box.text = shortMessage ? "Can not start this program " : "Can not start : " + commandLine.text;
    box.icon = platform::MessageIcon::kError;
    ui.ShowMessage(box);
  };
  unsigned result = 0;
  try {
    result = system.StartProcess(commandLine);
  } catch (const Exception&) {
    showFailure();
    throw;
  }
  if (!platform::ProcessStarted(result)) {
    showFailure();
    return false;
  }
  return true;
}

std::string CommaText(const std::vector<std::string>& items) {
  std::string text;
  for (size_t i = 0; i < items.size(); ++i) {
    const std::string& item = items[i];
    bool quote = false;
    for (const char c : item) {
      if (c == '\0') {
        break;  // the scan ends at the first zero byte
      }
      const auto code = static_cast<unsigned char>(c);
      if (code <= 32 || c == '"' || c == ',') {
        quote = true;
        break;
      }
    }
    if (quote) {
      text += '"';
      for (const char c : item) {
        text += c;
        if (c == '"') {
          text += '"';
        }
      }
      text += '"';
    } else {
      text += item;
    }
    if (i + 1 < items.size()) {
      text += ',';
    }
  }
  return text;
}

std::string BuildHandOffRecord(const std::string& launcherPath) {
  return CommaText({"[Start]", "Starter=" + launcherPath, ""});
}

platform::CommandLine BuildCommandLine(const std::string& target, const std::string& record,
                                       const std::string& firstArgument) {
  platform::CommandLine commandLine;
  commandLine.program = target;
  commandLine.arguments.push_back(record);
  if (!firstArgument.empty()) {
    commandLine.arguments.push_back(firstArgument);
  }
  commandLine.text = target + " " + record + " " + firstArgument;
  return commandLine;
}

}  // namespace lumivora::launcher
