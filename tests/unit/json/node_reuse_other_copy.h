#ifndef NELKO_TESTS_NODE_REUSE_OTHER_COPY_H
#define NELKO_TESTS_NODE_REUSE_OTHER_COPY_H

#include <string>

#include "json/elements.h"

// Both run the other library's copy of the json module on the document (ReadInPlace: `text`
// holds unspecified bytes afterwards).
__attribute__((visibility("default"))) json::Object ReadInOtherCopy(std::string& text);
__attribute__((visibility("default"))) void DestroyInOtherCopy(json::Object object);

#endif
