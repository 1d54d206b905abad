#include "launcher/patched_pack.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <thread>
#include <vector>

#include "delta/apply_patch.h"
#include "platform/file.h"
#include "platform/slot_ring.h"
#include "unzip/pack_writer.h"
#include "unzip/zip_reader.h"

namespace lumivora::launcher {
namespace {

using platform::Result;

std::string FolderOf(const std::string& path) {
  const size_t separator = path.find_last_of("/\\");
  return separator == std::string::npos ? std::string(".") : path.substr(0, separator);
}

// Fills INTO from FILE; false when the file ends first.
bool ReadFully(platform::File& file, std::span<uint8_t> into) {
  size_t have = 0;
  while (have < into.size()) {
    const size_t count = file.Read(into.data() + have, into.size() - have);
    if (count == 0) {
      return false;
    }
    have += count;
  }
  return true;
}

// The whole file at PATH (false on a failure).
bool ReadWhole(const std::string& path, std::vector<uint8_t>& bytes) {
  try {
    platform::File file = platform::File::Open(path, platform::File::Mode::kRead);
    bytes.resize(static_cast<size_t>(file.Size()));
    return ReadFully(file, bytes);
  } catch (const std::exception&) {
    return false;
  }
}

// The installed main program, extracted with the password into FOLDER (the
// private folder of the new pack) under its name.
Result ExtractInstalled(const InstalledPack& pack, const std::string& folder) {
  unzip::ExtractRequest extract;
  extract.password = pack.password;
  extract.destFolder = folder;
  extract.requireEncryption = true;
  extract.uniqueName = true;
  extract.processMessages = false;
  const unzip::EntryResult result =
      unzip::ExtractEntry({pack.packPath, pack.mainName}, extract, nullptr);
  if (!result.Whole()) {
    return Result::Failure("the installed pack gives no main program" +
                           (result.message.empty() ? std::string() : ": " + result.message));
  }
  if (!platform::FileExists(folder + platform::PathSeparator() + pack.mainName)) {
    return Result::Failure("the installed main program cannot be read");
  }
  return {};
}

// The new main program as a stream the pack writer reads: the patch applied
// to the installed program on a thread of its own, into a ring of buffers
// that the writer empties as it deflates and encrypts (both cores at work,
// and the program is never held whole). The program's last bytes are handed
// over only once the applier has checked the whole of it against the
// patch's SHA-256, which is the signed one, so a program that is not the
// signed one ends the writing with a read error: no pack is written.
class PatchedStream {
 public:
  PatchedStream(platform::File& old, std::span<const uint8_t> patch,
                const webupdate::PatchedPack& request)
      : request_(request), worker_([this, &old, patch] { Produce(old, patch); }) {}
  PatchedStream(const PatchedStream&) = delete;
  PatchedStream& operator=(const PatchedStream&) = delete;
  ~PatchedStream() { Finish(); }

  // The pack writer's ProgramReader, on the caller's thread, with the
  // progress reported there, once per buffer.
  size_t Read(std::span<uint8_t> into) {
    size_t done = 0;
    while (done < into.size() && NextBuffer()) {
      const size_t count = std::min(into.size() - done, available_ - offset_);
      std::memcpy(into.data() + done, slots_[ring_.Slot(item_)].data() + offset_, count);
      offset_ += count;
      done += count;
    }
    made_ += done;
    if (made_ == request_.programSize && offset_ == available_) {
      NextBuffer();  // the applier's verdict comes before the last bytes go
    }
    return done;
  }

  // Ends the applier (stopped where it stands unless it has ended) and says
  // why the program was not made; empty once it was, whole.
  std::string Finish() {
    ring_.Stop();
    if (worker_.joinable()) {
      worker_.join();
    }
    if (cancelled_ || !failure_.empty()) {
      return cancelled_ ? "cancelled" : failure_;
    }
    return made_ == request_.programSize ? std::string() : "the patched program was not read whole";
  }

 private:
  static constexpr size_t kDepth = 8;
  static constexpr size_t kBuffer = size_t{256} << 10;

  // Moves to the next buffer once this one is read; false at the program's
  // end. Raises the applier's failure, and a cancellation.
  bool NextBuffer() {
    if (offset_ < available_) {
      return true;
    }
    if (holding_) {
      ring_.Release(item_ + 1);
      holding_ = false;
    }
    const auto [first, end] = ring_.AcquireReady(1);
    if (first == end) {
      if (ring_.Stopped()) {
        throw std::runtime_error("stopped");
      }
      return false;
    }
    if (made_ >= request_.programSize) {
      throw std::runtime_error("more bytes than the signed size");
    }
    item_ = first;
    holding_ = true;
    offset_ = 0;
    available_ = sizes_[ring_.Slot(item_)];
    if (request_.progress && !request_.progress(made_, request_.programSize)) {
      cancelled_ = true;
      throw std::runtime_error("cancelled");
    }
    return true;
  }

  // The applier's thread: fills the buffers in turn, then closes the ring with
  // the end or with the reason the program was not made.
  void Produce(platform::File& old, std::span<const uint8_t> patch) {
    try {
      delta::PatchFault fault = delta::PatchFault::kNone;
      const auto declared = delta::DecodeHeader(patch, fault);
      if (!declared) {
        throw std::runtime_error(std::string("the patch does not apply: ") +
                                 delta::FaultText(fault));
      }
      if (declared->newSize != request_.programSize ||
          declared->newSha256 != request_.programSha256) {
        throw std::runtime_error("the patch does not make the signed program");
      }
      fault = delta::ApplyPatch(
          patch, static_cast<uint64_t>(old.Size()),
          [&old](uint64_t offset, std::span<uint8_t> into) {
            old.Seek(static_cast<int64_t>(offset));
            return ReadFully(old, into);
          },
          [this](std::span<const uint8_t> bytes) { return Put(bytes); });
      if (fault != delta::PatchFault::kNone) {
        throw std::runtime_error(std::string("the patch does not apply: ") +
                                 delta::FaultText(fault));
      }
      if (filled_ > 0) {
        sizes_[ring_.Slot(filling_)] = filled_;
        ring_.Publish();
      }
      ring_.Close();
    } catch (const std::exception& error) {
      // Stopped: the writer's side ended first and says why.
      failure_ = ring_.Stopped() ? std::string() : error.what();
      ring_.Close(std::current_exception());
    } catch (...) {
      failure_ = "the patch cannot be applied";
      ring_.Close(std::current_exception());
    }
  }

  // The applier's writer: BYTES into the buffers, a full one handed over.
  bool Put(std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
      if (filled_ == 0) {
        const std::optional<uint64_t> item = ring_.AcquireFree();
        if (!item) {
          return false;  // stopped
        }
        filling_ = *item;
      }
      const size_t count = std::min(bytes.size(), kBuffer - filled_);
      std::memcpy(slots_[ring_.Slot(filling_)].data() + filled_, bytes.data(), count);
      filled_ += count;
      bytes = bytes.subspan(count);
      if (filled_ == kBuffer) {
        sizes_[ring_.Slot(filling_)] = filled_;
        ring_.Publish();
        filled_ = 0;
      }
    }
    return true;
  }

  const webupdate::PatchedPack& request_;
  platform::SlotRing ring_{kDepth};
  std::vector<std::vector<uint8_t>> slots_ =
      std::vector<std::vector<uint8_t>>(kDepth, std::vector<uint8_t>(kBuffer));
  std::array<size_t, kDepth> sizes_{};
  // The applier's side.
  uint64_t filling_ = 0;
  size_t filled_ = 0;
  std::string failure_;  // read once the thread has ended
  // The writer's side.
  uint64_t item_ = 0;
  bool holding_ = false;
  size_t offset_ = 0;
  size_t available_ = 0;
  uint64_t made_ = 0;
  bool cancelled_ = false;
  std::thread worker_;  // last: starts once everything it uses is made
};

}  // namespace

InstalledProgram::InstalledProgram(InstalledPack pack, const std::string& output)
    : pack_(std::move(pack)), folder_(FolderOf(output)), worker_([this] {
        try {
          result_ = ExtractInstalled(pack_, folder_);
        } catch (const std::exception& error) {
          result_ = Result::Failure(std::string("the installed pack gives no main program: ") +
                                    error.what());
        }
      }) {}

InstalledProgram::~InstalledProgram() {
  if (worker_.joinable()) {
    worker_.join();
  }
  platform::DeleteFile(folder_ + platform::PathSeparator() + pack_.mainName);
}

Result InstalledProgram::Wait(std::string& path) {
  if (worker_.joinable()) {
    worker_.join();
  }
  path = folder_ + platform::PathSeparator() + pack_.mainName;
  return result_;
}

Result BuildPatchedPack(InstalledProgram& installed, const webupdate::PatchedPack& request) {
  try {
    std::vector<uint8_t> patch;
    if (!ReadWhole(request.patchFile, patch)) {
      return Result::Failure("the patch cannot be read");
    }
    std::string extracted;
    if (Result got = installed.Wait(extracted); !got.Ok()) {
      return got;
    }
    if (installed.Folder() != FolderOf(request.output)) {
      return Result::Failure("the installed program was taken out elsewhere");
    }
    platform::File old = platform::File::Open(extracted, platform::File::Mode::kRead);
    PatchedStream program(old, patch, request);
    unzip::PackRequest write;
    write.read = [&program](std::span<uint8_t> into) { return program.Read(into); };
    write.size = request.programSize;
    write.entryName = installed.Pack().mainName;
    write.password = installed.Pack().password;
    write.version = request.version;
    write.output = request.output;
    write.level = 1;  // seven times faster than 9 for a 30 MiB program, 20 % larger on disk only
    const Result written = unzip::WritePack(write);
    const std::string failure = program.Finish();
    if (!written.Ok()) {
      return failure.empty() ? written : Result::Failure(failure);
    }
    if (!failure.empty()) {  // never with a pack written; should it be, it goes
      platform::DeleteFile(request.output);
      return Result::Failure(failure);
    }
    return {};
  } catch (const std::bad_alloc&) {
    return Result::Failure("no memory for the patched program");
  } catch (const std::exception& error) {
    return Result::Failure(std::string("the installed main program cannot be read: ") +
                           error.what());
  }
}

Result BuildPatchedPack(const InstalledPack& pack, const webupdate::PatchedPack& request) {
  InstalledProgram installed(pack, request.output);
  return BuildPatchedPack(installed, request);
}

}  // namespace lumivora::launcher
