// What the signing commands of lumivora-tool share (cmd_release.cpp and
// cmd_refresh.cpp): their options, and the key and certificate files they read.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "tools/tool_commands.h"
#include "unzip/pack_check.h"
#include "webupdate/release_signing.h"

namespace lumivora::tool {

// Options of the form "--name VALUE" (or "-o VALUE"), and the words without
// a dash. An option without value or not in KNOWN is a usage error. Of an
// option given more than once, OPTIONS holds the last value and ALL every
// value in order.
struct Parsed {
  std::map<std::string, std::string> options;
  std::map<std::string, std::vector<std::string>> all;
  std::vector<std::string> words;
};
Parsed Parse(const Arguments& arguments, std::initializer_list<const char*> known);
// The value of option NAME: a usage error when it is missing or empty.
std::string Required(const Parsed& parsed, const char* name);
std::string Optional(const Parsed& parsed, const char* name, const std::string& fallback);

// A key, certificate or information file (at most 64 KiB).
std::string ReadSmallFile(const std::string& path);
webupdate::SecretKey ReadSecretKey(const std::string& path);
// The certificate in the file at PATH, which must certify KEY.
std::string ReadCertificate(const std::string& path, const webupdate::SecretKey& key);

// The expiry of a statement made at NOW (Unix time) valid for the number of
// whole days in TEXT (--expires, 1 to kMaxExpiryDays); refuses anything else.
inline constexpr int64_t kMaxExpiryDays = 3650;
int64_t ExpiryAfterDays(const std::string& text, int64_t now);
// The clock's Unix time.
int64_t UnixTimeNow();

// release --previous (release_patches.cpp): for each earlier
// release's pack (checked as the launcher checks a pack, its version read
// from its archive comment, earlier than the statement's), the patch from
// its main program to PROGRAM, to be written as FOLDER/PACK_NAME-from-VERSION.patch
// (which must be none of INPUTS, to which the packs are added) and offered at
// BASE_ADDRESS followed by that name. Adds the patches and the program's
// size and SHA-256 to STATEMENT; raises Exception, saying why, before
// anything is written.
struct PatchPlan {
  std::string program;
  std::vector<std::string> previousPacks;
  std::string password;
  unzip::ProgramKind kind = unzip::NativeProgramKind();
  std::string packName;
  std::string baseAddress;
  std::string folder;
};
struct MadePatch {
  std::string name;
  std::vector<uint8_t> bytes;
  webupdate::PatchOffer offer;
};
std::vector<MadePatch> MakeReleasePatches(const PatchPlan& plan,
                                          webupdate::ReleaseStatement& statement,
                                          std::vector<std::string>& inputs);

}  // namespace lumivora::tool
