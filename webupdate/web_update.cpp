#include "webupdate/web_update.h"

#include <array>
#include <optional>
#include <span>
#include <vector>

#include "platform/file.h"

namespace lumivora::webupdate {
namespace {

constexpr const char* kPaidUpgradeText =
    "You are using version %s, but version %s is available \r\n"
    "for paid upgrade as the major version changed.\r\n"
    "Do you want to upgrade your application now ?";
constexpr const char* kCannotStartText = "Can not start \"%s\" !";

// The information text is held in memory; a server that sends more than
// this is not sending an information file.
constexpr size_t kMaxInfoTextSize = size_t{16} * 1024 * 1024;

// The file of a file-mode transfer. Blocks are collected and written in
// larger pieces; whatever was received is on disk once the sink is gone,
// whichever way the transfer ended.
class FileSink {
 public:
  explicit FileSink(const std::string& fileName)
      : file_(platform::File::Open(fileName, platform::File::Mode::kCreate)) {
    pending_.reserve(kPieceSize);
  }
  FileSink(const FileSink&) = delete;
  FileSink& operator=(const FileSink&) = delete;
  ~FileSink() {
    try {
      Flush();
    } catch (...) {
      // A transfer that already ended (cancelled, failed) keeps its outcome;
      // the partial file simply stays shorter.
    }
  }

  void Append(std::span<const uint8_t> bytes) {
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    if (pending_.size() >= kPieceSize) {
      Flush();
    }
  }

  // Writes what is pending and closes the file; a failure raises EWriteError.
  void Close() {
    Flush();
    file_.Close();
  }

 private:
  static constexpr size_t kPieceSize = size_t{64} * 1024;

  void Flush() {
    if (!pending_.empty() && file_.IsOpen()) {
      file_.Write(pending_.data(), pending_.size());
      pending_.clear();
    }
  }

  platform::File file_;
  std::vector<uint8_t> pending_;
};

bool IsSuccessStatus(int status) {
  return status >= 200 && status <= 299;
}

// Clears the busy flag on every way out of a check.
class BusyScope {
 public:
  explicit BusyScope(bool& busy) : busy_(busy) { busy_ = true; }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;
  ~BusyScope() { busy_ = false; }

 private:
  bool& busy_;
};

}  // namespace

TWebUpdate::TWebUpdate(platform::UserInterface& ui, platform::SystemServices& system,
                       platform::HttpTransport& transport)
    : ui_(ui), system_(system), transport_(transport) {}

TWebUpdate::~TWebUpdate() {
  Cancel();
}

bool TWebUpdate::CheckForUpdate(const std::string& infoUrl) {
  if (busy_) {
    return false;
  }
  const BusyScope busy(busy_);
  redirectionUrl_.clear();
  DoBeforeGetInfo();
  GetInfo(infoUrl);
  DoAfterGetInfo();
  if (newVersion_.empty()) {
    DoDownloadError();
    succeeded_ = false;
  }
  if (!succeeded_) {
    return false;
  }
  if (!CompareVersions()) {
    return false;
  }
  bool canUpdate = true;
  if (OnUpdateAvailable) {
    const std::string actual = actualVersion_;
    const std::string offered = newVersion_;
    OnUpdateAvailable(*this, actual, offered, canUpdate);
  }
  if (!canUpdate) {
    return false;
  }
  DownloadUpdate();
  return succeeded_;
}

void TWebUpdate::GetInfo(const std::string& infoUrl) {
  for (int hops = 0;; ++hops) {
    newVersion_.clear();
    downloadUrl_.clear();
    if (hops > kMaxInfoRedirections) {
      // A chain that does not end (a file naming itself, a cycle): no
      // information, so the check fails with OnDownloadError.
      succeeded_ = false;
      return;
    }
    const std::string address = redirectionUrl_.empty() ? infoUrl : redirectionUrl_;
    HttpGet(address, userName_, password_, false, false, std::string());
    if (!succeeded_) {
      return;
    }
    ParseInfo();
    if (redirectionUrl_.empty()) {
      return;
    }
  }
}

void TWebUpdate::ParseInfo() {
  UpdateInfo info = ReadUpdateInfo(infoText_);
  redirectionUrl_ = std::move(info.redirectionUrl);
  newVersion_ = std::move(info.version);
  downloadUrl_ = std::move(info.url);
  clientSideName_ = std::move(info.clientSideName);
}

bool TWebUpdate::CompareVersions() {
  switch (CompareVersionTexts(actualVersion_, newVersion_)) {
    case VersionDecision::kFreeUpdate:
      return true;
    case VersionDecision::kPaidUpgrade:
      AskPaidUpgrade();
      return false;
    case VersionDecision::kNotNewer:
      DoNoUpdateFound();
      return false;
  }
  return false;
}

void TWebUpdate::AskPaidUpgrade() {
  platform::MessageBoxRequest question;
  question.caption = "Upgrade";
  question.text = FormatText(kPaidUpgradeText, {actualVersion_, newVersion_});
  question.icon = platform::MessageIcon::kQuestion;
  question.buttons = platform::MessageButtons::kOkCancel;
  question.defaultButton = platform::MessageAnswer::kOk;
  if (ui_.ShowMessage(question) != platform::MessageAnswer::kOk) {
    return;
  }
  if (system_.ShellOpen(upgradeUrl_)) {
    return;
  }
  platform::MessageBoxRequest error;
  error.caption = "ERROR";
  error.text = FormatText(kCannotStartText, {upgradeUrl_});
  error.icon = platform::MessageIcon::kError;
  error.buttons = platform::MessageButtons::kOk;
  error.defaultButton = platform::MessageAnswer::kOk;
  error.systemModal = true;
  ui_.ShowMessage(error);
}

void TWebUpdate::DownloadUpdate() {
  clientFileName_ = DefaultClientFileName();
  if (OnGetClientFileName) {
    OnGetClientFileName(*this, clientFileName_);
  }
  succeeded_ = false;
  // The name comes from the server: without a usable file name there is
  // nothing safe to write to.
  if (SafeFileNamePart(clientFileName_).empty()) {
    DoDownloadError();
    return;
  }
  if (platform::FileExists(clientFileName_)) {
    bool overwrite = options_.Contains(uoOverwrite);
    if (OnClientFileExists) {
      OnClientFileExists(*this, clientFileName_, overwrite);
    }
    if (!overwrite) {
      DoDownloadError();
      return;
    }
  }
  DoBeforeDownload(clientFileName_);
  HttpGet(downloadUrl_, userName_, password_, true, true, clientFileName_);
  DoAfterDownload(clientFileName_);
}

std::string TWebUpdate::DefaultClientFileName() {
  const std::string name = SafeFileNamePart(clientSideName_);
  if (name.empty()) {
    return {};
  }
  const char separator = platform::PathSeparator();
  std::string folder;
  if (!targetFolder_.empty() && platform::DirectoryExists(targetFolder_)) {
    folder = targetFolder_;
  } else {
    folder = system_.TempFolder();
    if (folder.empty()) {
      return {};
    }
  }
  if (folder.back() != separator) {
    folder += separator;
  }
  return folder + name;
}

UrlParts TWebUpdate::ParseURL(const std::string& url) {
  return SplitUrl(url);
}

void TWebUpdate::HttpGet(const std::string& url, const std::string& userName,
                         const std::string& password, bool checkSize, bool toFile,
                         const std::string& fileName) {
  cancelled_ = false;
  try {
    std::string text;
    switch (RunTransfer(url, userName, password, checkSize, toFile, fileName, text)) {
      case Transfer::kCancelled:
      case Transfer::kFailedQuietly:
        succeeded_ = false;
        return;
      case Transfer::kFinished:
        break;
    }
    if (succeeded_ && !toFile) {
      infoText_ = SplitLines(text);
    }
    if (!succeeded_) {
      DoDownloadError();
    }
  } catch (...) {
    // A port out of range, a Content-Length that is not a number, a file that
    // cannot be created or written, an error out of an event handler: the
    // transfer ends without an error event and the error goes no further.
    succeeded_ = false;
  }
}

TWebUpdate::Transfer TWebUpdate::RunTransfer(const std::string& url, const std::string& userName,
                                             const std::string& password, bool checkSize,
                                             bool toFile, const std::string& fileName,
                                             std::string& text) {
  const UrlParts parts = ParseURL(url);
  if (parts.port < 0 || parts.port > 65535) {
    return Transfer::kFailedQuietly;
  }
  platform::HttpRequest request;
  request.secure = parts.secure;
  request.hostName = parts.hostName;
  request.port = parts.port;
  request.path = parts.path;
  request.userName = userName;
  request.password = password;
  request.userAgent = kUserAgent;
  request.referrer = kReferrer;
  request.accept = kAcceptTypes;
  request.http10 = true;
  request.reload = true;
  request.maxRedirections = kMaxHttpRedirections;
  request.connectTimeoutSeconds = kConnectTimeoutSeconds;
  request.stallTimeoutSeconds = kStallTimeoutSeconds;
  const std::unique_ptr<platform::HttpResponse> response = transport_.Get(request);
  if (cancelled_) {
    return Transfer::kCancelled;
  }

  const std::optional<std::string> contentLength = response->ContentLength();
  const bool haveLength = contentLength && contentLength->size() < kContentLengthBufferSize;
  succeeded_ = haveLength;
  if (cancelled_) {
    return Transfer::kCancelled;
  }
  if (!haveLength && checkSize) {
    return Transfer::kFinished;
  }
  if (haveLength) {
    const std::optional<int32_t> total = DecimalInt32(*contentLength);
    if (!total) {
      return Transfer::kFailedQuietly;
    }
    totalSize_ = *total;
  }
  // An error page (or no response at all) is never the information text or
  // the new file.
  if (!IsSuccessStatus(response->StatusCode())) {
    succeeded_ = false;
    return Transfer::kFinished;
  }

  downloadedSize_ = 0;
  std::optional<FileSink> file;
  if (toFile) {
    file.emplace(fileName);
  }
  std::array<uint8_t, kReadBlockSize> block{};
  for (;;) {
    if (cancelled_) {
      return Transfer::kCancelled;
    }
    bytesRead_ = static_cast<uint32_t>(response->Read(block));
    if (bytesRead_ == 0) {
      break;
    }
    const std::span<const uint8_t> received(block.data(), bytesRead_);
    if (file) {
      file->Append(received);
    } else {
      if (text.size() + received.size() > kMaxInfoTextSize) {
        succeeded_ = false;
        return Transfer::kFinished;
      }
      text.append(reinterpret_cast<const char*>(received.data()), received.size());
    }
    downloadedSize_ += bytesRead_;
    DoDownload();
    ui_.ProcessMessages();
  }
  if (file) {
    succeeded_ = static_cast<int64_t>(downloadedSize_) == static_cast<int64_t>(totalSize_);
    file->Close();
  } else {
    succeeded_ = downloadedSize_ != 0;
  }
  return Transfer::kFinished;
}

void TWebUpdate::DoDownload() {
  if (OnDownload) {
    OnDownload(*this, totalSize_, static_cast<int32_t>(downloadedSize_));
  }
}

void TWebUpdate::DoDownloadError() {
  if (OnDownloadError) {
    OnDownloadError(*this);
  }
}

void TWebUpdate::DoBeforeDownload(const std::string& fileName) {
  if (OnBeforeDownload) {
    OnBeforeDownload(*this, fileName);
  }
}

void TWebUpdate::DoAfterDownload(const std::string& fileName) {
  if (OnAfterDownload) {
    OnAfterDownload(*this, fileName);
  }
}

void TWebUpdate::DoNoUpdateFound() {
  if (OnNoUpdateFound) {
    OnNoUpdateFound(*this);
  }
}

void TWebUpdate::DoAfterGetInfo() {
  if (OnAfterGetInfo) {
    OnAfterGetInfo(*this);
  }
}

void TWebUpdate::DoBeforeGetInfo() {
  if (OnBeforeGetInfo) {
    OnBeforeGetInfo(*this);
  }
}

void TWebUpdate::DoCannotExecute() {
  if (OnCannotExecute) {
    OnCannotExecute(*this);
  }
}

}  // namespace lumivora::webupdate
