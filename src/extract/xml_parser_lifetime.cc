#include "extract/xml_parser_lifetime.h"

#include <libxml/parser.h>

#include <mutex>

// Takes the place of libxml2's own for every caller in the program (the
// executable's definition comes first in the dynamic lookup). libxml2 calls
// its own through internal aliases, so nothing else changes.
extern "C" void xmlCleanupParser(void) {}

namespace installer::helpers {

void holdXmlParser() {
  static std::once_flag initialised;
  std::call_once(initialised, [] { xmlInitParser(); });
}

}  // namespace installer::helpers
