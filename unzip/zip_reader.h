// The core beneath TUnZip, for callers that want a value and no events:
// open an archive, find the file entries stored under one name and extract
// (or test) them with a password. Every outcome is a result: what happened
// to the entry (EntryResult in entry_extractor.h), also when the archive
// cannot be read or an error ends the entry; nothing is raised but
// std::bad_alloc and errors without a message.
#pragma once

#include <cstddef>
#include <string>

#include "unzip/entry_extractor.h"

namespace lumivora::platform {
class UserInterface;
}

namespace lumivora::unzip {

struct ExtractRequest {
  std::string password;
  // The folder that receives the entry, replacing a file of its name there
  // (created when missing); empty: the entry is only tested.
  std::string destFolder;
  bool requireEncryption = false;  // a plain entry ends as kNotEncrypted, undecoded
  bool uniqueName = false;         // unless exactly one entry matches, none is decoded
  bool retainAttributes = true;
  size_t keptHead = 0;  // the first decoded bytes kept in the result
  // Lets UI's message queue run before each chunk and during a scan of the
  // local headers; UI also shows the busy cursor of that scan. UI may be null.
  bool processMessages = true;
};

// Which entry of which archive.
struct EntryName {
  std::string archive;  // the archive's path
  std::string name;     // a selection line: stored under NAME at the top level
};

// Extracts or tests the file entries of the archive that the selection line
// WHICH.name selects (letter case ignored), in the directory's physical
// order. The result is that of the first entry that came out whole, or else
// of the last one tried (with `matches` the number of entries selected); an
// error ends at once with its result.
EntryResult ExtractEntry(const EntryName& which, const ExtractRequest& request,
                         platform::UserInterface* ui);

}  // namespace lumivora::unzip
