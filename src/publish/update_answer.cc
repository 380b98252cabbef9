#include "publish/update_answer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "network/check_update.h"
#include "network/check_update_transport.h"
#include "platform/url.h"
#include "proof/chunk_list.h"
#include "proof/integrity.h"
#include "proof/package_signature.h"

namespace installer::publish {

std::string createSigningKeyFile(const std::filesystem::path& keyFile) {
  auto pair = generateSigningKeyPair();
  // O_EXCL: a key that exists is someone's only copy of it.
  int fd = ::open(keyFile.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    throw std::runtime_error(keyFile.string() + ": " +
                             (errno == EEXIST ? std::string("exists; a key file is never overwritten")
                                              : std::string(std::strerror(errno))));
  }
  std::string line = base64Encode(pair.secretKey) + "\n";
  bool ok = ::fchmod(fd, 0600) == 0 &&
            ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  ok = ::close(fd) == 0 && ok;
  if (!ok) {
    ::unlink(keyFile.c_str());
    throw std::runtime_error(keyFile.string() + ": cannot be written");
  }
  return base64Encode(pair.publicKey);
}

PackageSummary summarizePackage(const std::filesystem::path& package) {
  auto digests = digestFile(package, {.md5 = true, .sha256 = true, .signature = false});
  return {digests.size, *digests.md5, *digests.sha256};
}

std::string makeUpdateAnswer(const std::filesystem::path& package, const std::filesystem::path& keyFile,
                             const std::string& url, const std::string& version,
                             const std::vector<std::string>& mirrors) {
  auto secretKey = readSigningSecretKey(keyFile);
  if (!secretKey) throw std::runtime_error(keyFile.string() + ": not a key file made by keygen");
  auto parsed = platform::URL::parse(url);
  if (!parsed || parsed->scheme() != "https" || parsed->host().empty()) {
    throw std::runtime_error("--url " + url + ": the installer downloads from https addresses only");
  }
  for (const auto& mirror : mirrors) {
    auto m = platform::URL::parse(mirror);
    if (!m || m->scheme() != "https" || m->host().empty()) {
      throw std::runtime_error("--mirror " + mirror + ": the installer downloads from https addresses only");
    }
  }
  if (mirrors.size() > kMaxMirrors) {
    throw std::runtime_error("the installer takes at most " + std::to_string(kMaxMirrors) + " mirrors");
  }
  if (version.empty()) throw std::runtime_error("--version must not be empty");
  auto summary = summarizePackage(package);
  const ChunkList chunkList = chunkListOfFile(package);
  nlohmann::ordered_json data;
  data["app_url"] = url;
  if (!mirrors.empty()) data["mirrors"] = mirrors;
  data["version"] = version;
  data["md5"] = summary.md5;
  data["sha256"] = summary.sha256;
  data["signature"] = base64Encode(signPackageFile(package, *secretKey));
  auto render = [](const nlohmann::ordered_json& members) {
    nlohmann::ordered_json answer;
    answer["status"] = 0;
    answer["reason"] = "";
    answer["data"] = members;
    return answer.dump(2) + "\n";
  };
  nlohmann::ordered_json chunked = data;
  chunked["size"] = chunkList.size;
  chunked["chunks"] = encodeChunkDigests(chunkList);
  chunked["chunks_signature"] = base64Encode(signChunkList(chunkList, *secretKey));
  // 43 bytes of Base64 per MiB: only a package of some 23 GiB outgrows
  // the answer the installer reads. Without its chunk list such a package
  // is still installed, proven whole before it is unpacked.
  const std::size_t bound = CurlCheckUpdateTransport::Options{}.maxAnswerBytes;
  std::string text = render(chunked);
  const bool withChunks = text.size() <= bound;
  if (!withChunks) text = render(data);
  if (text.size() > bound) throw std::runtime_error("the answer is longer than the installer reads");
  // What the installer would refuse (a name too long to cache, say) is
  // refused here, with the installer's own words.
  PackageLinkResult readBack = parsePackageLink(text, 200);
  if (auto* error = std::get_if<CheckUpdateError>(&readBack)) {
    throw std::runtime_error("the installer would refuse this answer: " + error->description());
  }
  // The chunk list is proven as an install run proves it, against the
  // answer's own size and SHA-256, which also catches a package that
  // changed between the passes over it.
  if (withChunks) {
    const auto& link = std::get<PackageLink>(readBack);
    auto list = link.size && link.sha256 && link.chunks ? decodeChunkList(*link.size, *link.sha256, *link.chunks)
                                                        : std::nullopt;
    auto signature = link.chunksSignature ? base64Decode(*link.chunksSignature) : std::nullopt;
    if (!list || !signature || !verifyChunkList(*list, *signature, *signingPublicKeyOf(*secretKey))) {
      throw std::runtime_error(package.string() + ": its chunk list does not prove out; did it change while it was signed?");
    }
  }
  return text;
}

}  // namespace installer::publish
