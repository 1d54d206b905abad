#include "launcher/patched_pack.h"

#include <exception>
#include <vector>

#include "delta/apply_patch.h"
#include "platform/file.h"
#include "unzip/pack_writer.h"
#include "unzip/zip_reader.h"
#include "webupdate/sha256.h"

namespace lumivora::launcher {
namespace {

using platform::Result;

// Deletes the file at its path on every way out.
class FileRemover {
 public:
  explicit FileRemover(std::string path) : path_(std::move(path)) {}
  FileRemover(const FileRemover&) = delete;
  FileRemover& operator=(const FileRemover&) = delete;
  ~FileRemover() { platform::DeleteFile(path_); }

 private:
  std::string path_;
};

std::string FolderOf(const std::string& path) {
  const size_t separator = path.find_last_of("/\\");
  return separator == std::string::npos ? std::string(".") : path.substr(0, separator);
}

// The whole file at PATH (empty on a failure, with false).
bool ReadWhole(const std::string& path, std::vector<uint8_t>& bytes) {
  try {
    platform::File file = platform::File::Open(path, platform::File::Mode::kRead);
    bytes.resize(static_cast<size_t>(file.Size()));
    size_t have = 0;
    while (have < bytes.size()) {
      const size_t count = file.Read(bytes.data() + have, bytes.size() - have);
      if (count == 0) {
        return false;
      }
      have += count;
    }
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

// The installed main program, extracted with the password into the private
// folder of the new pack and read back.
Result InstalledProgram(const InstalledPack& pack, const std::string& folder,
                        std::vector<uint8_t>& program) {
  unzip::ExtractRequest extract;
  extract.password = pack.password;
  extract.destFolder = folder;
  extract.requireEncryption = true;
  extract.uniqueName = true;
  extract.processMessages = false;
  const FileRemover extracted(folder + platform::PathSeparator() + pack.mainName);
  const unzip::EntryResult result =
      unzip::ExtractEntry({pack.packPath, pack.mainName}, extract, nullptr);
  if (!result.Whole()) {
    return Result::Failure("the installed pack gives no main program" +
                           (result.message.empty() ? std::string() : ": " + result.message));
  }
  if (!ReadWhole(folder + platform::PathSeparator() + pack.mainName, program)) {
    return Result::Failure("the installed main program cannot be read");
  }
  return {};
}

// The patched program, made with the progress reported as it is written.
Result PatchedProgram(const std::vector<uint8_t>& old, const webupdate::PatchedPack& request,
                      std::vector<uint8_t>& program) {
  std::vector<uint8_t> patch;
  if (!ReadWhole(request.patchFile, patch)) {
    return Result::Failure("the patch cannot be read");
  }
  program.reserve(static_cast<size_t>(request.programSize));
  bool cancelled = false;
  const delta::PatchFault fault = delta::ApplyPatch(
      patch, old.size(),
      [&old](uint64_t offset, std::span<uint8_t> into) {
        if (offset > old.size() || into.size() > old.size() - offset) {
          return false;
        }
        std::copy_n(old.begin() + static_cast<std::ptrdiff_t>(offset), into.size(), into.begin());
        return true;
      },
      [&](std::span<const uint8_t> bytes) {
        if (program.size() + bytes.size() > request.programSize) {
          return false;  // more than the signed size: refused before it is held
        }
        program.insert(program.end(), bytes.begin(), bytes.end());
        cancelled = request.progress && !request.progress(program.size(), request.programSize);
        return !cancelled;
      });
  if (cancelled) {
    return Result::Failure("cancelled");
  }
  if (fault != delta::PatchFault::kNone) {
    return Result::Failure(std::string("the patch does not apply: ") + delta::FaultText(fault));
  }
  webupdate::Sha256Stream hash;
  hash.Update(program);
  if (program.size() != request.programSize || hash.Finish() != request.programSha256) {
    return Result::Failure("the patched program is not the signed one");
  }
  return {};
}

}  // namespace

Result BuildPatchedPack(const InstalledPack& pack, const webupdate::PatchedPack& request) {
  try {
    std::vector<uint8_t> old;
    if (Result got = InstalledProgram(pack, FolderOf(request.output), old); !got.Ok()) {
      return got;
    }
    std::vector<uint8_t> program;
    if (Result made = PatchedProgram(old, request, program); !made.Ok()) {
      return made;
    }
    old = {};
    unzip::PackRequest write;
    write.bytes = std::span<const uint8_t>(program);
    write.entryName = pack.mainName;
    write.password = pack.password;
    write.version = request.version;
    write.output = request.output;
    write.level = 1;  // seven times faster than 9 for a 30 MiB program, 20 % larger on disk only
    return unzip::WritePack(write);
  } catch (const std::bad_alloc&) {
    return Result::Failure("no memory for the patched program");
  }
}

}  // namespace lumivora::launcher
