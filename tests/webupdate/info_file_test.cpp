// Reading rules of the update information file, the version decision, the
// address splitting and the signed release statement, one row per case.
#include "webupdate/info_file.h"

#include <gtest/gtest.h>

#include "cipher/base64.h"
#include "tests/support/files.h"
#include "tests/support/process.h"
#include "webupdate/release_signing.h"
#include "webupdate/release_time.h"

namespace lumivora::webupdate {
namespace {

using Lines = std::vector<std::string>;

TEST(SplitLines, LineEndsAndNul) {
  struct Row {
    std::string text;
    Lines lines;
  };
  const Row rows[] = {
      {"", {}},
      {"a", {"a"}},
      {"a\r\n", {"a"}},
      {"a\r\nb", {"a", "b"}},
      {"a\nb\rc\r\nd", {"a", "b", "c", "d"}},
      {"a\n\nb\n", {"a", "b"}},
      {"a\r\r\nb", {"a", "b"}},
      {"\n", {}},
      // Empty lines are not kept: 16 MiB of line breaks (the largest
      // information file) hold no line at all.
      {std::string(size_t{16} << 20, '\n'), {}},
      {std::string("a\nb\0c\nd", 7), {"a", "b"}},
      {std::string("\0abc", 4), {}},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(SplitLines(row.text), row.lines) << "text: " << row.text.substr(0, 40);
  }
}

TEST(ReadIniValue, InformationFileRules) {
  struct Row {
    const char* what;
    std::string text;
    std::string section;
    std::string key;
    std::string expected;
  };
  const Row rows[] = {
      {"plain", "[Setup]\nVersion=1.2\n", "Setup", "Version", "1.2"},
      {"names ignore case", "[sEtUp]\nvErSiOn=1.2\n", "SETUP", "VERSION", "1.2"},
      {"blank before =", "[Setup]\nVersion = 1.2\n", "Setup", "Version", ""},
      {"blank after = kept", "[Setup]\nVersion= 1.2 \n", "Setup", "Version", " 1.2 "},
      {"value keeps further =", "[Setup]\nURL=http://h/x?a=b\n", "Setup", "URL", "http://h/x?a=b"},
      {"first key wins", "[Setup]\nVersion=1\nVersion=2\n", "Setup", "Version", "1"},
      {"first section wins", "[Setup]\nA=1\n[Other]\nVersion=9\n[Setup]\nVersion=2\n", "Setup",
       "Version", ""},
      {"later section of other name", "[Other]\nVersion=9\n[Setup]\nVersion=2\n", "Setup",
       "Version", "2"},
      {"comment line", "[Setup]\n;Version=1\nVersion=2\n", "Setup", "Version", "2"},
      {"blank-led comment is a line", "[Setup]\n ;x=1\n", "Setup", " ;x", "1"},
      {"lines before a section ignored", "Version=0\n[Setup]\n", "Setup", "Version", ""},
      {"section name with blanks", "[ Setup ]\nVersion=1\n", "Setup", "Version", ""},
      {"section name with blanks matched", "[ Setup ]\nVersion=1\n", " Setup ", "Version", "1"},
      {"unclosed bracket is a key line", "[Setup]\n[Version=3\n", "Setup", "[Version", "3"},
      {"empty section name", "[]\nVersion=1\n", "", "Version", "1"},
      {"line without =", "[Setup]\nVersion\nVersion=4\n", "Setup", "Version", "4"},
      {"empty value", "[Setup]\nVersion=\nVersion=5\n", "Setup", "Version", ""},
      {"NUL ends the text", std::string("[Setup]\n\0Version=1\n", 19), "Setup", "Version", ""},
      {"CR only", "[Setup]\rVersion=6\r", "Setup", "Version", "6"},
      {"missing section", "[Other]\nVersion=1\n", "Setup", "Version", ""},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(ReadIniValue(row.text, {.section = row.section, .name = row.key}), row.expected)
        << row.what;
  }
}

TEST(ReadUpdateInfo, ReadsTheSetupKeysAndMirrors) {
  const std::string head =
      "; update\r\n[Setup]\r\nVersion=1.3\r\nURL=http://h/p.zip\r\nClientSideName=p.zip\r\n";
  const std::pair<std::string, std::vector<std::string>> rows[] = {
      {"", {}},
      {"URL2=http://m2/p\r\nurl9=HTTPS://m9/p\r\n", {"http://m2/p", "HTTPS://m9/p"}},
      // A gap is passed over; key order in the file does not matter.
      {"URL4=http://m4/p\r\nURL3=http://m3/p\r\n", {"http://m3/p", "http://m4/p"}},
      // Not download addresses, or not mirror keys: ignored.
      {"URL2=ftp://m/p\r\nURL3=http://m/a b\r\nURL4=http:///p\r\nURL5=\r\nURL6=http://m\r\n"
       "URL1=http://m1/p\r\nURL10=http://m10/p\r\nURL7=http://m7/p\r\n",
       {"http://m7/p"}},
  };
  for (const auto& [mirrors, expected] : rows) {
    const UpdateInfo info = ReadUpdateInfo(head + mirrors);
    EXPECT_EQ(info.version, "1.3");
    EXPECT_EQ(info.url, "http://h/p.zip");
    EXPECT_EQ(info.clientSideName, "p.zip");
    EXPECT_EQ(info.redirectionUrl, "");
    EXPECT_EQ(info.mirrors, expected) << mirrors;
  }
}

TEST(CompareVersionTexts, Decisions) {
  using enum VersionDecision;
  struct Row {
    const char* installed;
    const char* offered;
    VersionDecision expected;
    const char* badRelease = "";
  };
  const Row rows[] = {
      {"1.0", "1.1", kFreeUpdate},
      // A release recorded as bad is skipped, the same version in any
      // spelling; a higher one is decided as any other.
      {"1.0", "1.1", kBadRelease, "1.1"},
      {"1.0", "1.1.0", kBadRelease, "1.1"},
      {"1.0", "1.2", kFreeUpdate, "1.1"},
      {"1.0", "1.1.1", kFreeUpdate, "1.1"},
      {"1.0", "2.0", kPaidUpgrade},
      {"1.9", "1.10", kFreeUpdate},
      {"1.0", "1.0", kNotNewer},
      {"2.0", "1.5", kNotNewer},
      {"1.0", "1.0.1", kNotNewer},
      {"1.0.1", "1.1", kPaidUpgrade},
      {"1", "2.0", kFreeUpdate},
      {"", "1.0", kFreeUpdate},
      {"1.0", "1.x", kNotNewer},
      {"1.1", "1.2 ", kNotNewer},
      {"1.2", "1.3", kFreeUpdate},
      {"1.2.3", "1.2.4", kFreeUpdate},
      {"1.2.3", "1.3.0", kPaidUpgrade},
      {"1.0", "1", kNotNewer},    // missing components of the offered version are 0
      {"1.0.1", "1", kNotNewer},  // likewise: 0 < 1 in the last component
      {"0.9", "1", kPaidUpgrade},
      {"1.0", "", kNotNewer},
      {"1.-1", "1.0", kFreeUpdate},
      {"1.0", "1.99999999999", kNotNewer},  // out of range counts as 0
      {"1.0", "1.2147483647", kFreeUpdate},
      {"1.", "1.5", kFreeUpdate},
      {"..", "..1", kFreeUpdate},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(DecideVersion(row.installed, row.offered, row.badRelease), row.expected)
        << row.installed << " -> " << row.offered;
  }
}

TEST(SplitUrl, Addresses) {
  struct Row {
    const char* url;
    bool secure;
    const char* host;
    const char* path;
    int port;
  };
  const Row rows[] = {
      {"HTTP://host/x.ini", false, "host", "/x.ini", 80},
      {"http://host/x.ini", false, "host", "/x.ini", 80},
      {"http://host:8080/dir/x.ini", false, "host", "/dir/x.ini", 8080},
      {"http://host:abc/x.ini", false, "host", "/x.ini", 80},
      {"http://host:/x.ini", false, "host", "/x.ini", 80},
      {"http://host/dir:1/x.ini", false, "host", "/dir:1/x.ini", 80},
      {"http://host", false, "", "host", 80},
      {"http://host:70000/x", false, "host", "/x", 70000},
      {"http://host:-1/x", false, "host", "/x", -1},
      {"http://host:1:2/x", false, "host", "/x", 80},
      {"http://host/x?a=1&b=2", false, "host", "/x?a=1&b=2", 80},
      {"https://host/x.ini", true, "host", "/x.ini", 443},
      {"HTTPS://host:8443/x", true, "host", "/x", 8443},
      {"ftp://host/x", false, "ftp", "//host/x", 80},
      {"host/x", false, "host", "/x", 80},
  };
  for (const Row& row : rows) {
    const UrlParts parts = SplitUrl(row.url);
    EXPECT_EQ(parts.secure, row.secure) << row.url;
    EXPECT_EQ(parts.hostName, row.host) << row.url;
    EXPECT_EQ(parts.path, row.path) << row.url;
    EXPECT_EQ(parts.port, row.port) << row.url;
  }
}

TEST(FormatText, PercentSequences) {
  EXPECT_EQ(FormatText("v %s, %s.", {"1.0", "2.0"}), "v 1.0, 2.0.");
  EXPECT_EQ(FormatText("http://h/u?from=%s&x=100%%", {"1.2"}), "http://h/u?from=1.2&x=100%");
  EXPECT_EQ(FormatText("%s", {"50%s"}), "50%s");  // arguments are not formats
  EXPECT_EQ(FormatText("no args %s|", {}), "no args |");
  EXPECT_EQ(FormatText("trailing %", {}), "trailing %");
}

TEST(SafeFileNamePart, ServerNamesStayInTheFolder) {
  const std::pair<const char*, const char*> rows[] = {
      {"pack.zip", "pack.zip"},
      {"../../.profile", ".profile"},
      {"..\\Startup\\x.exe", "x.exe"},
      {"/etc/passwd", "passwd"},
      {"C:evil.exe", "evil.exe"},
      {"", ""},
      {".", ""},
      {"..", ""},
      {"dir/", ""},
      {"a/..", ""},
      {" ", " "},
  };
  for (const auto& [name, expected] : rows) {
    EXPECT_EQ(SafeFileNamePart(name), expected) << name;
  }
}

// The check's rules for a signed offer under a trust of one root key that has
// accepted certificate serial 5 so far, at 2027-01-15 08:00 UTC; empty problem:
// accepted. A launcher that requires fresh offers refuses the accepted ones
// without an expiry, and nothing else.
TEST(VerifyRelease, SignatureRules) {
  const SecretKey root = SecretKey::Generate();
  const SecretKey stranger = SecretKey::Generate();
  const SecretKey signer = SecretKey::Generate();
  const auto offer = [](const SecretKey& key, const std::string& certificate = "",
                        const std::string& product = "product") {
    return "[Setup]\r\n" +
           SignedReleaseLines({product, "1.1", 7, Sha256Digest{9}}, key, certificate);
  };
  // A certificate of SIGNER's key made by BY.
  const auto certificate = [&signer](const SecretKey& by, uint64_t serial,
                                     const std::string& product = "product") {
    return EncodeCertificate(CertifyKey(by, signer.Public(), serial, product));
  };
  const std::string good = offer(root);
  const std::string cut = good.substr(0, good.find("ReleaseSignature=") + 17 + 80);
  // GOOD with the first character of KEY's value replaced by C.
  const auto garbled = [&good](const std::string& key, char c) {
    std::string lines = good;
    lines[good.find(key + "=") + key.size() + 1] = c;
    return lines;
  };
  const std::string strangerKey = cipher::ToBase64(stranger.Public());
  const int64_t now = 1'800'000'000;
  const auto expiring = [&root](int64_t expires) {
    return "[Setup]\r\n" +
           SignedReleaseLines({"product", "1.1", 7, Sha256Digest{9}, expires}, root, "");
  };
  std::string prolonged = expiring(now - 3600);  // its expiry moved after signing
  prolonged.replace(prolonged.find("T07:00"), 6, "T09:00");
  std::string offset = expiring(now);  // a time zone other than Z
  offset.replace(offset.find("Z\r"), 1, "+00:00");
  // Patches beside the pack: the release statement's lines stay as they were.
  ReleaseStatement patchedRelease{"product", "1.1", 7, Sha256Digest{9}, now + 86400};
  const std::string unpatched = expiring(now + 86400);
  patchedRelease.patches = {{"http://h/p-1.0.patch", "1.0", 5, Sha256Digest{3}},
                            {"https://h/p-0.9.patch", "0.9", 6, Sha256Digest{4}}};
  patchedRelease.programSize = 8;
  const std::string patched = "[Setup]\r\n" + SignedReleaseLines(patchedRelease, root, "");
  ASSERT_EQ(patched.substr(0, unpatched.size()), unpatched);
  const auto patchedWith = [&patched](const std::string& from, const std::string& to) {
    std::string lines = patched;
    return lines.replace(lines.find(from), from.size(), to);
  };
  const std::tuple<std::string, const char*, std::string> rows[] = {
      {offer(signer, certificate(root, 5)), "1.1", ""},
      {offer(stranger), "1.1", "The update is signed by an unknown key " + strangerKey},
      {good, "1.2", "The update's signature does not match its statement"},
      {offer(root, "", "other"), "1.1", "The update is signed for another product (\"other\")."},
      // Unverified text is shown escaped and cut.
      {offer(root, "", "\x1b]0;pwned\x07" + std::string(15 << 20, 'x')), "1.1",
       "The update is signed for another product (\"^[]0;pwned^G" + std::string(70, 'x') +
           "...\")."},
      {offer(signer, certificate(stranger, 6)), "1.1",
       "The update's certificate is signed by an unknown root key " + strangerKey},
      {offer(signer, certificate(root, 5, "other")), "1.1",
       "The update's certificate does not verify with its root key"},
      {offer(signer, certificate(root, 4)), "1.1",
       "The update's certificate has serial 4, below the highest accepted serial 5"},
      // The vendor's genuine certificate copied beside a key of one's own.
      {offer(stranger, certificate(root, 5)), "1.1",
       "The update is signed by " + strangerKey + ", not by the key its certificate names."},
      {offer(signer, "AAAA"), "1.1", "The update's ReleaseCertificate is not a valid certificate."},
      {good.substr(0, good.find("ReleaseSignature=")), "1.1", "The update is not signed."},
      {cut, "1.1", "The update's ReleaseSignature is not Base64 of a 64-byte signature."},
      {garbled("ReleaseKey", '*'), "1.1",
       "The update's ReleaseKey is not Base64 of a 32-byte public key."},
      {garbled("ReleaseSize", 'x'), "1.1", "The update's ReleaseSize is not a decimal byte count."},
      {garbled("ReleaseSHA256", 'g'), "1.1",
       "The update's ReleaseSHA256 is not 64 hexadecimal digits."},
      // Fresh offers: an expiry in the future, or past by less than the clock skew.
      {expiring(now + 86400), "1.1", ""},
      {expiring(now - kClockSkewSeconds), "1.1", ""},
      {expiring(now - kClockSkewSeconds - 1), "1.1",
       "The update's statement expired on 2027-01-15 07:49 UTC."},
      {expiring(now - 86400), "1.1", "The update's statement expired on 2027-01-14 08:00 UTC."},
      {prolonged, "1.1", "The update's signature does not match its statement"},
      {offset, "1.1",
       "The update's ReleaseExpires is not a UTC time such as 2027-01-31T12:00:00Z."},
      {patched, "1.1", ""},
      {patchedWith("ReleasePatch2Size=6", "ReleasePatch2Size=9"), "1.1",
       "The update's patch statement does not match its signature."},
      {patchedWith("ReleaseProgramSize=8", "ReleaseProgramSize=9"), "1.1",
       "The update's patch statement does not match its signature."},
      {patchedWith("Patch1=http://h/p-1.0.patch\r\n", ""), "1.1",
       "The update's patch statement names patch 1 without"},
      {patchedWith("ReleasePatchSignature=", "ReleasePatchSignature=x"), "1.1",
       "The update's patch statement has no valid program size, SHA-256 or signature."},
  };
  for (const bool requireFresh : {false, true}) {
    const ReleaseTrust trust{.product = "product",
                             .roots = {root.Public()},
                             .recordedSerial = 5,
                             .now = now,
                             .requireFresh = requireFresh};
    for (const auto& [lines, version, problem] : rows) {
      SCOPED_TRACE(problem + (requireFresh ? " (fresh offers required)" : ""));
      const bool stale =
          requireFresh && problem.empty() && lines.find("ReleaseExpires") == std::string::npos;
      const std::string expected = stale ? "The update's statement carries no expiry." : problem;
      const ReleaseVerdict verdict = VerifyRelease(trust, lines, version);
      EXPECT_EQ(verdict.statement.patches,
                lines == patched ? patchedRelease.patches : std::vector<PatchOffer>());
      EXPECT_EQ(verdict.result.Reason().substr(0, expected.size()), expected);
      EXPECT_LT(verdict.result.Reason().size(), 200U);
      EXPECT_EQ(verdict.result.Ok(), expected.empty());
    }
  }
}

// An independent signer as oracle: the openssl command line signs the
// statement with an Ed25519 key of its own making. The launcher's check
// accepts it under that key's public half (as openssl gives it), refuses a
// signature by another key, and libsodium signs byte for byte as openssl does.
TEST(VerifyRelease, OpensslSignaturesAsOracle) {
  const testing::TempDir dir;
  const auto openssl = [](const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {"/usr/bin/openssl"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const testing::ProcessResult result = testing::RunProcess(argv, {});
    EXPECT_EQ(result.exitCode, 0) << result.err;
  };
  // The raw 32 bytes at the end of openssl's DER forms of a key.
  const auto tail = [](const std::string& der) {
    return std::vector<uint8_t>(der.end() - 32, der.end());
  };
  for (const char* name : {"key", "other"}) {
    openssl({"genpkey", "-algorithm", "ed25519", "-outform", "DER", "-out", dir / name});
  }
  openssl({"pkey", "-inform", "DER", "-in", dir / "key", "-pubout", "-outform", "DER", "-out",
           dir / "key.pub"});
  const std::string publicKey = cipher::ToBase64(tail(testing::ReadFile(dir / "key.pub")));
  const ReleaseStatement statement{"oracle-product", "2.5", 123456, Sha256Digest{1, 2, 3}, {}};
  testing::WriteFile(dir / "statement", StatementText(statement));
  const ReleaseTrust trust{.product = "oracle-product", .roots = ParsePublicKeys(publicKey)};
  const std::pair<const char*, const char*> rows[] = {
      {"key", ""},
      {"other", "The update's signature does not match its statement"},
  };
  for (const auto& [signer, problem] : rows) {
    SCOPED_TRACE(signer);
    openssl({"pkeyutl", "-sign", "-rawin", "-keyform", "DER", "-inkey", dir / signer, "-in",
             dir / "statement", "-out", dir / "signature"});
    const std::string signature = testing::ReadFile(dir / "signature");
    const std::string lines =
        "[Setup]\nVersion=2.5\nReleaseProduct=oracle-product\nReleaseSize=123456\n"
        "ReleaseSHA256=" +
        HexText(statement.sha256) + "\nReleaseKey=" + publicKey +
        "\nReleaseSignature=" + cipher::ToBase64(signature);
    const ReleaseVerdict verdict = VerifyRelease(trust, lines, "2.5");
    EXPECT_EQ(verdict.result.Reason().substr(0, std::string(problem).size()), problem);
    EXPECT_EQ(verdict.result.Ok(), *problem == '\0');
    const SecretKey same = SecretKey::FromSeed(tail(testing::ReadFile(dir / signer)));
    const Signature ours = same.Sign(StatementText(statement));
    EXPECT_EQ(std::string(ours.begin(), ours.end()), signature);
  }
}

}  // namespace
}  // namespace lumivora::webupdate
