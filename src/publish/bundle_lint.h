// The checks `installer-publish lint` runs on an installer bundle before it
// ships: every configuration key's kind and form (read by the installer's
// own configuration code, so the two never disagree), the executable, the
// pictures at both scales, the localized string tables, and the log-service
// constants of this build. Plain function; any thread; reads files only.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace installer::publish {

struct LintFinding {
  enum class Severity { error, warning };
  Severity severity = Severity::error;
  std::string subject;  // the key or file it is about
  std::string problem;  // what is wrong and what happens because of it
  std::string fix;      // what to do

  // "error: <subject>: <problem> (fix: <fix>)".
  std::string line() const;
};

// Every finding, in a fixed order (keys, executable, pictures, strings,
// log constants). Empty for a clean bundle. Never throws for bad input: a
// missing or malformed Info.plist is a finding.
std::vector<LintFinding> lintInstallerBundle(const std::filesystem::path& bundle);

// True when any finding is an error.
bool hasErrors(const std::vector<LintFinding>& findings);

}  // namespace installer::publish
