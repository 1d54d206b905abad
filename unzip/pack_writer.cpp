// The pack writer: libzip makes the archive; every byte it writes goes through
// a write source of our own (PackTarget) into a new file beside the pack, so
// that the file is created, flushed and renamed by the platform's file layer
// as every other replacement of a file is.
#include "unzip/pack_writer.h"

#include <zip.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/file.h"

namespace lumivora::unzip {

namespace {

// A regular file in the Unix st_mode layout (the high half of the external
// attributes of an entry made on a Unix host).
constexpr uint32_t kUnixRegularFile = 0100000;
constexpr uint32_t kUnixPermissionBits = 07777;

// The archive's side of libzip: nothing to read (the pack is always written
// anew), a new file beside OUTPUT to write, renamed over OUTPUT on commit and
// deleted on rollback or when the target goes.
class PackTarget {
 public:
  explicit PackTarget(std::string output) : output_(std::move(output)) { zip_error_init(&error_); }
  PackTarget(const PackTarget&) = delete;
  PackTarget& operator=(const PackTarget&) = delete;
  ~PackTarget() { zip_error_fini(&error_); }

  // libzip's zip_source_callback.
  // NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
  static zip_int64_t Call(void* self, void* data, zip_uint64_t length, zip_source_cmd_t command) {
    auto* target = static_cast<PackTarget*>(self);
    errno = 0;
    try {
      return target->Run(data, length, command);
    } catch (const std::exception&) {
      // An exception never crosses libzip's C frames: it is a write error.
      return target->Fail(command == ZIP_SOURCE_BEGIN_WRITE ? ZIP_ER_TMPOPEN : ZIP_ER_WRITE,
                          SystemError());
    }
  }

 private:
  // The system's reason for the failure just seen, as libzip shows it after
  // its own sentence ("Write error: No space left on device"); EIO where the
  // platform left none in errno.
  static int SystemError() { return errno != 0 ? errno : EIO; }

  zip_int64_t Fail(int code, int system = 0) {
    zip_error_set(&error_, code, system);
    return -1;
  }

  zip_int64_t Run(void* data, zip_uint64_t length, zip_source_cmd_t command) {
    switch (command) {
      case ZIP_SOURCE_SUPPORTS:
        return zip_source_make_command_bitmap(
            ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_SEEK, ZIP_SOURCE_TELL,
            ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, ZIP_SOURCE_BEGIN_WRITE,
            ZIP_SOURCE_COMMIT_WRITE, ZIP_SOURCE_ROLLBACK_WRITE, ZIP_SOURCE_WRITE,
            ZIP_SOURCE_SEEK_WRITE, ZIP_SOURCE_TELL_WRITE, ZIP_SOURCE_REMOVE, -1);
      case ZIP_SOURCE_STAT:  // what libzip takes for "no archive yet"
        return Fail(ZIP_ER_READ, ENOENT);
      case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&error_, data, length);
      case ZIP_SOURCE_FREE:
        return 0;
      case ZIP_SOURCE_BEGIN_WRITE:
        file_.emplace(platform::File::CreateUnique(output_ + ".new-"));
        partial_.path = file_->Path();
        return 0;
      case ZIP_SOURCE_WRITE:
        file_->Write(data, static_cast<size_t>(length));
        return static_cast<zip_int64_t>(length);
      case ZIP_SOURCE_SEEK_WRITE:
        return SeekWrite(data, length);
      case ZIP_SOURCE_TELL_WRITE:
        return file_->Position();
      case ZIP_SOURCE_COMMIT_WRITE:
        return Commit();
      case ZIP_SOURCE_ROLLBACK_WRITE:
        file_.reset();
        if (!partial_.path.empty()) {
          platform::DeleteFile(partial_.path);
          partial_.path.clear();
        }
        return 0;
      default:  // reading, and removing an empty archive: never asked of a pack
        return Fail(ZIP_ER_OPNOTSUPP);
    }
  }

  zip_int64_t SeekWrite(void* data, zip_uint64_t length) {
    const auto* seek = ZIP_SOURCE_GET_ARGS(zip_source_args_seek_t, data, length, &error_);
    if (seek == nullptr) {
      return -1;
    }
    const int64_t base = seek->whence == SEEK_SET   ? 0
                         : seek->whence == SEEK_CUR ? file_->Position()
                                                    : file_->Size();
    if (base < 0 || base + seek->offset < 0) {
      return Fail(ZIP_ER_INVAL);
    }
    file_->Seek(base + seek->offset);
    return 0;
  }

  // The mode of the pack it replaces, flushed, renamed into place.
  zip_int64_t Commit() {
    const bool moded =
        platform::FileExists(output_) ? file_->SetModeOf(output_) : file_->SetPermissions(0666);
    if (!moded || !file_->Flush()) {
      return Fail(ZIP_ER_WRITE, SystemError());
    }
    file_.reset();
    if (!platform::ReplaceFile(partial_.path, output_)) {
      return Fail(ZIP_ER_RENAME, SystemError());
    }
    partial_.path.clear();
    const size_t slash = output_.find_last_of(platform::PathSeparator());
    platform::FlushFolder(slash == std::string::npos ? std::string(".") : output_.substr(0, slash));
    return 0;
  }

  std::string output_;
  std::optional<platform::File> file_;  // open between the begin and the end of writing
  platform::PartialFile partial_;
  zip_error_t error_{};
};

// The main program as libzip reads it from a ProgramReader: its size and the
// time of writing, the bytes in one pass; what the reader raises is a read
// error (libzip then writes nothing).
class ProgramStream {
 public:
  explicit ProgramStream(const PackRequest& request)
      : read_(request.read), size_(request.size), time_(std::time(nullptr)) {
    zip_error_init(&error_);
  }
  ProgramStream(const ProgramStream&) = delete;
  ProgramStream& operator=(const ProgramStream&) = delete;
  ~ProgramStream() { zip_error_fini(&error_); }

  // libzip's zip_source_callback; it frees the stream with its source.
  // NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
  static zip_int64_t Call(void* self, void* data, zip_uint64_t length, zip_source_cmd_t command) {
    auto* stream = static_cast<ProgramStream*>(self);
    switch (command) {
      case ZIP_SOURCE_SUPPORTS:
        return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE,
                                              ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE,
                                              -1);
      case ZIP_SOURCE_OPEN:
      case ZIP_SOURCE_CLOSE:
        return 0;
      case ZIP_SOURCE_READ:
        return stream->Read(data, length);
      case ZIP_SOURCE_STAT:
        return stream->Stat(data, length);
      case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&stream->error_, data, length);
      case ZIP_SOURCE_FREE:
        delete stream;  // NOLINT(cppcoreguidelines-owning-memory): libzip owns it
        return 0;
      default:
        zip_error_set(&stream->error_, ZIP_ER_OPNOTSUPP, 0);
        return -1;
    }
  }

 private:
  zip_int64_t Read(void* data, zip_uint64_t length) {
    try {
      return static_cast<zip_int64_t>(
          read_(std::span<uint8_t>(static_cast<uint8_t*>(data), static_cast<size_t>(length))));
    } catch (const std::exception&) {
      // An exception never crosses libzip's C frames: it is a read error.
      zip_error_set(&error_, ZIP_ER_READ, EIO);
      return -1;
    }
  }

  zip_int64_t Stat(void* data, zip_uint64_t length) {
    auto* stat = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, length, &error_);
    if (stat == nullptr) {
      return -1;
    }
    zip_stat_init(stat);
    stat->size = size_;
    stat->mtime = time_;
    stat->valid |= ZIP_STAT_SIZE | ZIP_STAT_MTIME;
    return sizeof(zip_stat_t);
  }

  ProgramReader read_;
  uint64_t size_;
  time_t time_;
  zip_error_t error_{};
};

// libzip's error record, released on every path.
class ZipError {
 public:
  ZipError() { zip_error_init(&error_); }
  ZipError(const ZipError&) = delete;
  ZipError& operator=(const ZipError&) = delete;
  ~ZipError() { zip_error_fini(&error_); }
  zip_error_t* get() { return &error_; }

 private:
  zip_error_t error_{};
};

struct ArchiveDiscarder {
  void operator()(zip_t* archive) const { zip_discard(archive); }
};
using Archive = std::unique_ptr<zip_t, ArchiveDiscarder>;

struct SourceFreer {
  void operator()(zip_source_t* source) const { zip_source_free(source); }
};
using Source = std::unique_ptr<zip_source_t, SourceFreer>;

// "PATH: libzip's sentence for ERROR".
platform::Result Failed(const std::string& path, zip_error_t* error) {
  return platform::Result::Failure(path + ": " + zip_error_strerror(error));
}

// The main program as libzip reads it: the bytes, or the file (by its
// 8-bit name on Windows, as the platform's file layer names files).
Source ProgramSource(const PackRequest& request, zip_error_t* error) {
  if (request.bytes) {
    return Source(zip_source_buffer_create(request.bytes->data(), request.bytes->size(), 0, error));
  }
  if (request.read) {
    auto stream = std::make_unique<ProgramStream>(request);
    Source source(zip_source_function_create(ProgramStream::Call, stream.get(), error));
    if (source) {
      (void)stream.release();  // freed with the source
    }
    return source;
  }
#ifdef _WIN32
  return Source(zip_source_win32a_create(request.program.c_str(), 0, -1, error));
#else
  return Source(zip_source_file_create(request.program.c_str(), 0, -1, error));
#endif
}

// The one entry's method, encryption, attributes and the archive comment.
bool DescribePack(zip_t* archive, zip_uint64_t entry, const PackRequest& request) {
  const std::string comment = "Version=" + request.version;
  if (!request.version.empty() &&
      zip_set_archive_comment(archive, comment.data(), static_cast<zip_uint16_t>(comment.size())) !=
          0) {
    return false;
  }
  const uint32_t mode = kUnixRegularFile | (request.mode & kUnixPermissionBits);
  return zip_set_file_compression(archive, entry, ZIP_CM_DEFLATE, request.level) == 0 &&
         zip_file_set_encryption(archive, entry, ZIP_EM_TRAD_PKWARE, request.password.c_str()) ==
             0 &&
         zip_file_set_external_attributes(archive, entry, 0, ZIP_OPSYS_UNIX, mode << 16U) == 0;
}

}  // namespace

platform::Result WritePack(const PackRequest& request) {
  ZipError error;
  PackTarget target(request.output);  // outlives the archive, which calls it
  Source targetSource(zip_source_function_create(PackTarget::Call, &target, error.get()));
  if (!targetSource) {
    return Failed(request.output, error.get());
  }
  Archive archive(zip_open_from_source(targetSource.get(), ZIP_CREATE | ZIP_TRUNCATE, error.get()));
  if (!archive) {
    return Failed(request.output, error.get());
  }
  (void)targetSource.release();  // the archive owns it now
  Source program = ProgramSource(request, error.get());
  if (!program) {
    return Failed(request.program, error.get());
  }
  const zip_int64_t index =
      zip_file_add(archive.get(), request.entryName.c_str(), program.get(), ZIP_FL_OVERWRITE);
  if (index < 0) {
    return Failed(request.output, zip_get_error(archive.get()));
  }
  (void)program.release();  // the archive owns it now
  if (!DescribePack(archive.get(), static_cast<zip_uint64_t>(index), request) ||
      zip_close(archive.get()) != 0) {
    // Opening and reading are the program's errors: the pack is only written.
    zip_error_t* closing = zip_get_error(archive.get());
    const int code = zip_error_code_zip(closing);
    const bool reading =
        (code == ZIP_ER_OPEN || code == ZIP_ER_READ) && !request.bytes && !request.read;
    return Failed(reading ? request.program : request.output, closing);
  }
  (void)archive.release();  // zip_close freed it
  return {};
}

}  // namespace lumivora::unzip
