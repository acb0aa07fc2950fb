#include "layout_file.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>

#include "cli_errors.h"
#include "facet_names.h"

namespace nelko::cli {
namespace {

using rapidjson::Value;

// Checks one parsed document, keeping the file name for the messages.
class LayoutChecker {
 public:
  explicit LayoutChecker(std::string file_name) : file_name_(std::move(file_name)) {}

  Layout check(Value const& root) const {
    Layout layout;
    Value const* placements = &root;
    if (root.IsObject()) {
      check_members(root, "", {"stream", "placements"}, {"placements"});
      if (root.HasMember("stream"))
        layout.stream = whole_number(root["stream"], "stream", UINT32_MAX);
      placements = &root["placements"];
      if (!placements->IsArray()) fail("placements", "must be an array, not " + kind(*placements));
    } else if (!root.IsArray()) {
      fail("", "a layout file holds an object with \"placements\" or an array of placements, not " +
                   kind(root));
    }
    if (placements->Size() > kMaxPlacements)
      fail("placements", std::to_string(placements->Size()) + " placements, at most " +
                             std::to_string(kMaxPlacements) + " are allowed");
    for (rapidjson::SizeType i = 0; i < placements->Size(); ++i)
      layout.placements.push_back(
          check_placement((*placements)[i], "placements[" + std::to_string(i) + "]"));
    return layout;
  }

  [[noreturn]] void fail(std::string const& path, std::string const& why) const {
    throw InputFileError(file_name_ + ": " + (path.empty() ? "" : path + ": ") + why);
  }

 private:
  Placement check_placement(Value const& value, std::string const& path) const {
    if (!value.IsObject()) fail(path, "a placement must be an object, not " + kind(value));
    check_members(value, path, {"facet", "source", "destination"},
                  {"facet", "source", "destination"});
    Placement placement;
    placement.facet = check_facet(value["facet"], path + ".facet");
    placement.source = check_rect(value["source"], path + ".source");
    placement.destination = check_rect(value["destination"], path + ".destination");
    return placement;
  }

  std::uint32_t check_facet(Value const& value, std::string const& path) const {
    if (value.IsString()) {
      std::string name(value.GetString(), value.GetStringLength());
      if (std::optional<std::uint32_t> facet = facet_value(name)) return *facet;
      fail(path, "unknown facet \"" + shorten(name) + "\"; known facets: " + kFacetNameSummary);
    }
    if (!value.IsNumber()) fail(path, "must be a facet name, not " + kind(value));
    std::uint32_t facet = whole_number(value, path, UINT32_MAX);
    if (!facet_name(facet))
      fail(path, std::to_string(facet) + " is not a facet value (0..22, 48..80)");
    return facet;
  }

  Rect check_rect(Value const& value, std::string const& path) const {
    if (!value.IsObject())
      fail(path, "must be an object with x, y, width and height, not " + kind(value));
    check_members(value, path, {"x", "y", "width", "height"}, {"x", "y", "width", "height"});
    Rect rect;
    rect.x = whole_number(value["x"], path + ".x", kFullExtent);
    rect.y = whole_number(value["y"], path + ".y", kFullExtent);
    rect.width = whole_number(value["width"], path + ".width", kFullExtent);
    rect.height = whole_number(value["height"], path + ".height", kFullExtent);
    // Empty rectangles and rectangles past the edge are what a service accepts and hands back,
    // so they are read; layout_remarks reports them.
    return rect;
  }

  std::uint32_t whole_number(Value const& value, std::string const& path, std::uint32_t max) const {
    std::string range = "0.." + std::to_string(max);
    if (!value.IsNumber()) fail(path, "must be a whole number " + range + ", not " + kind(value));
    if (value.IsUint()) {
      if (value.GetUint() > max)
        fail(path, std::to_string(value.GetUint()) + " is out of range " + range);
      return value.GetUint();
    }
    if (value.IsInt64()) {
      // Not a uint but an int64: either negative or above 2^32 - 1.
      if (value.GetInt64() < 0) fail(path, std::to_string(value.GetInt64()) + " is negative");
      fail(path, std::to_string(value.GetInt64()) + " is out of range " + range);
    }
    if (value.IsUint64())
      fail(path, std::to_string(value.GetUint64()) + " is out of range " + range);
    double number = value.GetDouble();
    std::ostringstream text;
    text << number;
    if (number < 0) fail(path, text.str() + " is negative");
    if (number > max) fail(path, text.str() + " is out of range " + range);
    if (number != std::floor(number)) fail(path, text.str() + " is not a whole number");
    return static_cast<std::uint32_t>(number);
  }

  // Refuses unknown, missing and repeated members.
  void check_members(Value const& object, std::string const& path,
                     std::initializer_list<char const*> allowed,
                     std::initializer_list<char const*> required) const {
    std::string prefix = path.empty() ? "" : path + ".";
    for (auto member = object.MemberBegin(); member != object.MemberEnd(); ++member) {
      std::string name(member->name.GetString(), member->name.GetStringLength());
      bool known = false;
      for (char const* candidate : allowed) known = known || name == candidate;
      if (!known) fail(prefix + shorten(name), "unknown member (expected " + list(allowed) + ")");
      for (auto other = object.MemberBegin(); other != member; ++other)
        if (other->name == member->name) fail(prefix + shorten(name), "member given twice");
    }
    for (char const* name : required)
      if (!object.HasMember(name)) fail(path, std::string("missing member \"") + name + "\"");
  }

  static std::string list(std::initializer_list<char const*> names) {
    std::string text;
    for (char const* name : names) text += (text.empty() ? "" : ", ") + std::string(name);
    return text;
  }

  static std::string kind(Value const& value) {
    if (value.IsString()) return "a string";
    if (value.IsObject()) return "an object";
    if (value.IsArray()) return "an array";
    if (value.IsBool()) return "true/false";
    if (value.IsNull()) return "null";
    return "a number";
  }

  std::string file_name_;
};

// Line and column (both from 1) of a byte offset, for parse errors.
std::string position(std::string const& text, std::size_t offset) {
  std::size_t line = 1;
  std::size_t column = 1;
  for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return std::to_string(line) + ":" + std::to_string(column);
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

Layout parse_layout_text(std::string const& text, std::string const& file_name) {
  LayoutChecker checker(file_name);
  std::size_t start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  if (text.find_first_not_of(" \t\r\n", start) == std::string::npos)
    checker.fail("", "the file is empty");
  // The parser takes a NUL byte for the end of the text, which would let whatever follows it
  // pass unread.
  if (std::size_t nul = text.find('\0'); nul != std::string::npos)
    throw InputFileError(file_name + ":" + position(text, nul) +
                         ": a NUL byte; a layout file is text, with nothing after the JSON");
  rapidjson::Document document;
  // The iterative parser keeps deeply nested input from exhausting the stack.
  document.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag>(
      text.data() + start, text.size() - start);
  if (document.HasParseError()) {
    std::size_t offset = start + document.GetErrorOffset();
    throw InputFileError(file_name + ":" + position(text, offset) + ": not valid JSON: " +
                         rapidjson::GetParseError_En(document.GetParseError()));
  }
  return checker.check(document);
}

Layout read_layout_file(std::string const& path) {
  bool from_stdin = path == "-";
  std::string name = from_stdin ? "standard input" : path;
  std::unique_ptr<std::FILE, FileCloser> owned;
  std::FILE* file = stdin;
  if (!from_stdin) {
    owned.reset(std::fopen(path.c_str(), "rb"));
    if (!owned) throw InputFileError(name + ": cannot open: " + std::strerror(errno));
    file = owned.get();
  }
  std::string text;
  char buffer[16384];
  for (;;) {
    std::size_t count = std::fread(buffer, 1, sizeof buffer, file);
    text.append(buffer, count);
    if (text.size() > kMaxLayoutFileBytes)
      throw InputFileError(name + ": larger than " + std::to_string(kMaxLayoutFileBytes) +
                           " bytes, not a layout file");
    if (count < sizeof buffer) break;
  }
  if (std::ferror(file)) throw InputFileError(name + ": cannot read: " + std::strerror(errno));
  return parse_layout_text(text, name);
}

std::string layout_to_json(Layout const& layout) {
  auto rect = [](Rect const& r) {
    return "{\"x\": " + std::to_string(r.x) + ", \"y\": " + std::to_string(r.y) +
           ", \"width\": " + std::to_string(r.width) + ", \"height\": " + std::to_string(r.height) +
           "}";
  };
  // Written by hand rather than by a generic writer so that each rectangle stays on one line.
  std::string json = "{\n";
  if (layout.stream) json += "  \"stream\": " + std::to_string(*layout.stream) + ",\n";
  json += "  \"placements\": [";
  for (std::size_t i = 0; i < layout.placements.size(); ++i) {
    Placement const& p = layout.placements[i];
    std::optional<std::string> name = facet_name(p.facet);
    json += i == 0 ? "\n" : ",\n";
    json += "    {\"facet\": " + (name ? "\"" + *name + "\"" : std::to_string(p.facet)) + ",\n";
    json += "     \"source\":      " + rect(p.source) + ",\n";
    json += "     \"destination\": " + rect(p.destination) + "}";
  }
  json += layout.placements.empty() ? "]\n}\n" : "\n  ]\n}\n";
  return json;
}

}  // namespace nelko::cli
