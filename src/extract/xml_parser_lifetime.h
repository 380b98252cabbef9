// libxml2's global parser state lives as long as the process.
//
// libarchive's xar reader calls `xmlCleanupParser` each time it frees a
// reader. That tears down libxml2's dictionaries, encodings and thread keys
// while any other thread may be parsing (a flat package unpacked as it
// downloads, a Distribution read beside it), and it deletes the key that
// frees a worker thread's parser state when the thread ends. This unit
// defines `xmlCleanupParser` as a no-op for the whole program, so a library
// that calls it cannot pull the parser out from under another thread; the
// process's exit frees what is left.
//
// Call `holdXmlParser` before the first libxml2 or xar use: it initialises
// the parser once (thread-safe, any thread) and links this unit in.
#pragma once

namespace installer::helpers {

void holdXmlParser();

}  // namespace installer::helpers
