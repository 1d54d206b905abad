// The launcher's small operating-system operations (data and temporary
// folders, platform id, connection state, process start) and the hand-off
// record that tells the main program which launcher started it.
#pragma once

#include <string>

#include "platform/product.h"
#include "platform/system.h"
#include "platform/ui.h"

namespace lumivora::launcher {

inline constexpr int kCsidlAppData = 26;

// The folder of the shell folder number CSIDL without trailing separator, or
// the empty text. Only the application-data folder (26) is known.
std::string GetShellFolder(platform::SystemServices& system, int csidl);
// The application-data folder + separator + "Lumivora" (the root form
// "/Lumivora" when there is no application-data folder).
std::string DataFolderPath(platform::SystemServices& system);
// The data folder (created when missing, its parent is not); raises
// "Cannot create folder - " + path.
std::string GetDataFolder(platform::SystemServices& system);
std::string GetTempFolder(platform::SystemServices& system);
int GetPlatformId(platform::SystemServices& system, int& major, int& minor);
bool IsOnline(platform::SystemServices& system);

// Starts COMMANDLINE without waiting. A failure shows a box captioned "ERROR"
// ("Can not start this program " with SHORTMESSAGE, else "Can not start : "
// and the command-line text); an error raised by the start is shown the same
// way and passed on. True when the program was started.
bool StartProgram(platform::SystemServices& system, platform::UserInterface& ui,
                  const platform::CommandLine& commandLine, bool shortMessage);

// The items of a string list joined as comma text: an item holding a
// character 1..32, a double quote or a comma is quoted, inner quotes doubled.
std::string CommaText(const std::vector<std::string>& items);

// "[Start]", "Starter=<launcher path>", "" as comma text.
std::string BuildHandOffRecord(const std::string& launcherPath);

// The main program's start: PROGRAM, then RECORD and FIRSTARGUMENT (left out
// when empty) as arguments; the command-line text joins the three with single
// blanks, unquoted, and so ends in a blank when FIRSTARGUMENT is empty.
platform::CommandLine BuildCommandLine(const std::string& target, const std::string& record,
                                       const std::string& firstArgument);

}  // namespace lumivora::launcher
