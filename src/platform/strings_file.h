// The parser for localized string tables in the `"key" = "value";` syntax.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace installer::platform {

struct StringsParseResult {
  std::map<std::string, std::string> entries;
  // One line per problem found ("line 12: expected ';'"); the parser skips
  // the broken entry and goes on with the next one it can recognise.
  std::vector<std::string> problems;
};

// Parses a .strings table: quoted keys and values (escapes \" \\ \n \t \r
// \UXXXX and \uXXXX), unquoted keys of word characters, `/* */` and `//`
// comments, entries ended by ';'. Input must be UTF-8 (a UTF-8 byte-order
// mark is skipped); UTF-16 input yields no entries and one problem. Never
// throws; never reads past the input.
StringsParseResult parseStrings(const std::string& utf8);

}  // namespace installer::platform
