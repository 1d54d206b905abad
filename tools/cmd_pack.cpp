// lumivora-tool pack: a pack written by libzip (deflated, traditional PKWARE
// encryption) holding one file as the main program "Lumivoramain", then read
// back through the extraction component. POSIX builds only: Debian ships no
// Windows build of libzip.
#include <sys/stat.h>
#include <zip.h>

#include <cstdio>
#include <memory>
#include <string>

#include "tools/tool_commands.h"

#ifndef LUMIVORA_PACK_PASSWORD
#error "LUMIVORA_PACK_PASSWORD must be defined by the build"
#endif

namespace lumivora::tool {

namespace {

struct ZipCloser {
  void operator()(zip_t* archive) const { zip_discard(archive); }
};

}  // namespace

int PackCommand(const Arguments& arguments) {
  std::string input;
  std::string output;
  std::string password = LUMIVORA_PACK_PASSWORD;
  for (size_t i = 0; i < arguments.size(); ++i) {
    if (arguments[i] == "-o" && i + 1 < arguments.size()) {
      output = arguments[++i];
    } else if (arguments[i] == "-P" && i + 1 < arguments.size()) {
      password = arguments[++i];
    } else if (input.empty() && !arguments[i].empty() && arguments[i][0] != '-') {
      input = arguments[i];
    } else {
      input.clear();
      break;
    }
  }
  if (input.empty() || output.empty()) {
    throw UsageError();
  }
  struct stat status {};
  if (::stat(input.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
    std::fprintf(stderr, "%s: not a readable file\n", input.c_str());
    return kExitArchiveError;
  }
  int error = 0;
  std::unique_ptr<zip_t, ZipCloser> archive(
      zip_open(output.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error));
  if (!archive) {
    zip_error_t zipError;
    zip_error_init_with_code(&zipError, error);
    std::fprintf(stderr, "%s: %s\n", output.c_str(), zip_error_strerror(&zipError));
    zip_error_fini(&zipError);
    return kExitArchiveError;
  }
  zip_source_t* source = zip_source_file(archive.get(), input.c_str(), 0, -1);
  if (source == nullptr) {
    std::fprintf(stderr, "%s: %s\n", input.c_str(), zip_strerror(archive.get()));
    return kExitArchiveError;
  }
  const zip_int64_t index = zip_file_add(archive.get(), "Lumivoramain", source, ZIP_FL_OVERWRITE);
  if (index < 0) {
    zip_source_free(source);
    std::fprintf(stderr, "%s: %s\n", output.c_str(), zip_strerror(archive.get()));
    return kExitArchiveError;
  }
  const auto entry = static_cast<zip_uint64_t>(index);
  // Unix host, the file's permission bits in the high half (APPNOTE 4.4.15):
  // the extracted main program keeps its execute permission.
  const auto mode = static_cast<zip_uint32_t>(S_IFREG | (status.st_mode & 07777U));
  if (zip_set_file_compression(archive.get(), entry, ZIP_CM_DEFLATE, 9) != 0 ||
      zip_file_set_encryption(archive.get(), entry, ZIP_EM_TRAD_PKWARE, password.c_str()) != 0 ||
      zip_file_set_external_attributes(archive.get(), entry, 0, ZIP_OPSYS_UNIX, mode << 16U) != 0 ||
      zip_file_set_mtime(archive.get(), entry, status.st_mtime, 0) != 0) {
    std::fprintf(stderr, "%s: %s\n", output.c_str(), zip_strerror(archive.get()));
    return kExitArchiveError;
  }
  if (zip_close(archive.get()) != 0) {
    std::fprintf(stderr, "%s: %s\n", output.c_str(), zip_strerror(archive.get()));
    return kExitArchiveError;
  }
  (void)archive.release();  // zip_close freed it
  // Read the pack back through the extraction component.
  const int result = TestArchive(output, password);
  if (result != kExitOk) {
    std::fprintf(stderr, "%s: the written pack does not check\n", output.c_str());
  }
  return result;
}

}  // namespace lumivora::tool
