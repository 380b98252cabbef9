// The vendor's signing key and the update-check answer for one package:
// what `installer-publish keygen` and `sign` write. Plain functions; any
// thread; each blocks for its own file work.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace installer::publish {

// Makes a fresh Ed25519 key pair, writes the secret half to `keyFile`
// (created new, mode 0600; an existing file is never replaced) and returns
// the public half as Base64, the value of PackageSigningPublicKey. Throws
// std::runtime_error naming the file when it exists or cannot be written.
std::string createSigningKeyFile(const std::filesystem::path& keyFile);

// Size and digests of a package file, as every command prints them.
struct PackageSummary {
  std::int64_t size = 0;
  std::string md5;     // 32 lowercase hex digits
  std::string sha256;  // 64 lowercase hex digits
};
// Reads the file once. Throws std::system_error when it cannot be read.
PackageSummary summarizePackage(const std::filesystem::path& package);

// The update-check answer for `package`, served at `url` as version
// `version`: the envelope {"status":0,"reason":"","data":{...}} whose data
// holds app_url, then `mirrors` when there are any (further https sources
// of the same file, tried in order after app_url), version, md5, sha256
// and signature (the package's Ed25519ph signature by the secret key in
// `keyFile`), then the chunk list signed with the same key: size, chunks
// and chunks_signature (docs/vendor.md, "Chunk lists"). The chunk list is
// left out only when it would make the answer longer than the installer
// reads (1 MiB, a package of some 23 GiB); such a package is proven whole
// before it is unpacked. The result is indented JSON ending in a line
// break, read back with the installer's own parser, its chunk list
// decoded and verified, before it is returned. Throws std::runtime_error
// for a key file that is not one, an app_url or mirror that is not https
// with a host, more mirrors than the installer takes, an empty version,
// or a package that changed while it was read; std::system_error when the
// package cannot be read.
std::string makeUpdateAnswer(const std::filesystem::path& package, const std::filesystem::path& keyFile,
                             const std::string& url, const std::string& version,
                             const std::vector<std::string>& mirrors = {});

}  // namespace installer::publish
