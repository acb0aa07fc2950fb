// A shared library with a copy of the json module of its own, as each library of the platform
// that links it has: documents made here are destroyed by the test's copy, and the reverse.
#include "node_reuse_other_copy.h"

#include <string>

#include "json/text.h"

json::Object ReadInOtherCopy(std::string& text) {
  json::Object read;
  json::ReadInPlace(read, text);
  return read;
}

void DestroyInOtherCopy(json::Object object) {
  object.Clear();
}
