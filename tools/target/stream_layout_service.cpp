#include "stream_layout_service.h"

#include <rapidjson/internal/dtoa.h>
#include <rapidjson/internal/ieee754.h>
#include <rapidjson/internal/itoa.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>

#include "nelko_core_types.h"
#include "pan_tilt_geometry.h"
#include "roi_limits.h"

namespace nelko::target {

// A request's members, first to last, as the handlers look them up: either those of a document
// that RapidJSON's reader made, or those that FlatRequest (below) read into an array on the
// caller's stack, which spares a flat request a document and its pool.
class RequestMembers {
 public:
  struct Flat {
    std::string_view name;
    rapidjson::Value value;
  };

  explicit RequestMembers(rapidjson::Value const& object) : object_(&object) {}
  RequestMembers(Flat const* flat, std::size_t count) : flat_(flat), count_(count) {}

  // The value of the first member called `name`, as FindMember finds it, but comparing bytes
  // only where the lengths agree and without measuring `name` first; nullptr when there is
  // none. Always inline, so that for a name known when compiling (below) the comparison is a
  // few loads instead of a call.
  __attribute__((always_inline)) rapidjson::Value const* find(std::string_view name) const {
    if (object_ == nullptr) {
      for (Flat const* it = flat_; it != flat_ + count_; ++it) {
        if (it->name.size() == name.size() &&
            std::memcmp(it->name.data(), name.data(), name.size()) == 0) {
          return &it->value;
        }
      }
      return nullptr;
    }
    for (auto it = object_->MemberBegin(); it != object_->MemberEnd(); ++it) {
      if (it->name.GetStringLength() == name.size() &&
          std::memcmp(it->name.GetString(), name.data(), name.size()) == 0) {
        return &it->value;
      }
    }
    return nullptr;
  }

 private:
  rapidjson::Value const* object_ = nullptr;
  Flat const* flat_ = nullptr;
  std::size_t count_ = 0;
};

namespace {

constexpr unsigned int kFull = 100000;  // millipercent of a whole width or height
constexpr std::size_t kDestinationType = 4;
constexpr std::size_t kMaxPlacements = 1000;  // per stream, as stream-layout's layout files

constexpr std::array<std::string_view, 9> kLayoutKeys = {"source_upper_left_x_millipercent",
                                                    "source_upper_left_y_millipercent",
                                                    "source_width_millipercent",
                                                    "source_height_millipercent",
                                                    "destination_type",
                                                    "destination_upper_left_x_millipercent",
                                                    "destination_upper_left_y_millipercent",
                                                    "destination_width_millipercent",
                                                    "destination_height_millipercent"};

// The value of the request's first member called `name`; nullptr when there is none.
__attribute__((always_inline)) inline rapidjson::Value const* member(RequestMembers const& request,
                                                                     std::string_view name) {
  return request.find(name);
}

// The same for a name known when compiling, whose length is then a constant; inline too, so
// that the comparison with that name is made where it is known.
template <std::size_t N>
__attribute__((always_inline)) inline rapidjson::Value const* member(RequestMembers const& request,
                                                                     char const (&name)[N]) {
  return request.find(std::string_view(name, N - 1));
}

// Every number travels as a double, so an index is any number that is a whole value in range.
template <std::size_t N>
std::optional<double> number_member(RequestMembers const& object, char const (&name)[N]) {
  rapidjson::Value const* const value = member(object, name);
  if (value == nullptr || !value->IsNumber()) return std::nullopt;
  return value->GetDouble();
}

// Whether `value` is a whole number from 0 to `high` (at most 4294967295). Once it is in range,
// converting it to unsigned int and back keeps it exactly if and only if it is whole.
bool is_whole_up_to(double value, double high) {
  return value >= 0 && value <= high &&
         static_cast<double>(static_cast<unsigned int>(value)) == value;
}

template <std::size_t N>
std::optional<unsigned int> index_member(RequestMembers const& object, char const (&name)[N],
                                         unsigned int count) {
  auto const value = number_member(object, name);
  if (!value || count == 0 || !is_whole_up_to(*value, count - 1.0)) return std::nullopt;
  return static_cast<unsigned int>(*value);
}

// Reads one layout list: an array of whole numbers, destination types being facets and every
// other list holding millipercent values.
std::optional<std::vector<unsigned int>> layout_list(RequestMembers const& request,
                                                     std::size_t key) {
  rapidjson::Value const* const value = member(request, kLayoutKeys[key]);
  if (value == nullptr || !value->IsArray()) return std::nullopt;
  std::vector<unsigned int> list;
  list.reserve(value->Size());
  for (auto const& element : value->GetArray()) {
    if (!element.IsNumber() || !is_whole_up_to(element.GetDouble(), kFull)) return std::nullopt;
    auto const entry = static_cast<unsigned int>(element.GetDouble());
    if (key == kDestinationType && !is_facet(entry)) return std::nullopt;
    list.push_back(entry);
  }
  return list;
}

}  // namespace

// A response written straight into the caller's buffer, with the text RapidJSON's Writer gives
// each number (doubles through its own shortest conversion, which reads back exactly; NaN and
// the infinities that "Set_roi" may store as words), but without a document in between. Member
// names are this file's constants: plain ASCII that needs no escaping. The buffer is scratch
// memory used up to its size: it only ever grows, so that a buffer reused from request to request
// is neither allocated nor cleared again; close() ends the text with a NUL byte and returns it.
class ResponseText {
 public:
  // Starts the object with its status at the start of `buffer`.
  ResponseText(std::string& buffer, int status) : buffer_(buffer) {
    constexpr std::size_t kFirstSize = 256;
    if (buffer_.size() < kFirstSize) buffer_.resize(std::max(buffer_.capacity(), kFirstSize));
    end_ = buffer_.data();
    put("{\"status\":");
    end_ = rapidjson::internal::i32toa(status, end_);
  }
  template <std::size_t N>
  void add(char const (&name)[N], double value) {
    open_member(name, 32);
    rapidjson::internal::Double const bits(value);
    if (bits.IsNan()) {
      put("NaN");
    } else if (bits.IsInf()) {
      put(bits.Sign() ? "-Infinity" : "Infinity");
    } else {
      end_ = rapidjson::internal::dtoa(value, end_);
    }
  }
  template <std::size_t N>
  void add(char const (&name)[N], unsigned int value) {
    open_member(name, 16);
    end_ = rapidjson::internal::u32toa(value, end_);
  }
  void add(std::string_view name, std::vector<unsigned int> const& list) {
    open_member(name, 1);
    put("[");
    for (std::size_t i = 0; i < list.size(); ++i) {
      room(16);
      if (i > 0) *end_++ = ',';
      end_ = rapidjson::internal::u32toa(list[i], end_);
    }
    room(2);
    put("]");
  }
  std::string_view close() {
    room(2);
    put("}");
    *end_ = '\0';
    return std::string_view(buffer_.data(), static_cast<std::size_t>(end_ - buffer_.data()));
  }

 private:
  // Makes room for `bytes` more after end_.
  void room(std::size_t bytes) {
    std::size_t const used = static_cast<std::size_t>(end_ - buffer_.data());
    if (buffer_.size() - used >= bytes) return;
    buffer_.resize(std::max(2 * buffer_.size(), used + bytes));
    end_ = buffer_.data() + used;
  }
  // Within the room made before.
  void put(std::string_view bytes) {
    std::memcpy(end_, bytes.data(), bytes.size());
    end_ += bytes.size();
  }
  template <std::size_t N>
  void put(char const (&bytes)[N]) {
    put(std::string_view(bytes, N - 1));
  }
  static std::size_t size_of(std::string_view name) { return name.size(); }
  template <std::size_t N>
  static constexpr std::size_t size_of(char const (&)[N]) {
    return N - 1;
  }
  // Room for the member's name and `value_bytes` of its value.
  template <typename Name>
  void open_member(Name const& name, std::size_t value_bytes) {
    room(size_of(name) + 4 + value_bytes);
    put(",\"");
    put(name);
    put("\":");
  }

  std::string& buffer_;
  char* end_;  // where the next byte goes
};

namespace {

std::string_view status_only(std::string& buffer, int status) {
  return ResponseText(buffer, status).close();
}

// A pool for one document that starts in `memory`, usually on the caller's stack: a request is
// small, and a document otherwise takes a heap chunk of 64 KiB to start with.
template <std::size_t Size>
rapidjson::MemoryPoolAllocator<> pool_in(char (&memory)[Size]) {
  return rapidjson::MemoryPoolAllocator<>(memory, Size);
}

using RequestDocument =
    rapidjson::GenericDocument<rapidjson::UTF8<>, rapidjson::MemoryPoolAllocator<>,
                               rapidjson::MemoryPoolAllocator<>>;

// Requests as clients send them are flat objects of plain strings and short numbers. Those are
// read here into an array of members, with the members and values that RapidJSON's reader would
// give a document, in their order; false, for the reader to do it, on anything else: escapes and
// bytes outside printable ASCII in strings, arrays, objects and literals as values, exponents,
// more than 15 digits, more than kMaxMembers members, and every syntax error. Strings are not
// copied: they point into `text`.
//
// Numbers of at most 15 digits without exponent convert exactly as the reader converts them:
// an integer is one (so "-0" is 0), and m.f is the integer of its digits divided by 10 to the
// number of decimals, one correctly rounded division of exact values.
class FlatRequest {
 public:
  // As many as the flat commands have at most ("Set_roi": 7), and one more.
  static constexpr std::size_t kMaxMembers = 8;
  using Members = std::array<RequestMembers::Flat, kMaxMembers>;

  explicit FlatRequest(std::string_view text) : next_(text.data()), end_(next_ + text.size()) {}

  // The number of members read into `members`, or false.
  bool read_into(Members& members, std::size_t& count) {
    count = 0;
    if (!expect('{')) return false;
    if (expect('}')) return at_end();
    for (;;) {
      if (count == kMaxMembers) return false;
      RequestMembers::Flat& member = members[count];
      if (!string(member.name)) return false;
      if (!expect(':')) return false;
      std::string_view text;
      double number = 0;
      if (string(text)) {  // when it is not a string, the space before it is skipped
        member.value.SetString(
            rapidjson::StringRef(text.data(), static_cast<rapidjson::SizeType>(text.size())));
      } else if (this->number(number)) {
        member.value.SetDouble(number);
      } else {
        return false;
      }
      ++count;
      if (expect('}')) return at_end();
      if (!take(',')) return false;  // the space before it is skipped
    }
  }

 private:
  static constexpr int kMaxDigits = 15;

  bool take(char c) {
    if (next_ == end_ || *next_ != c) return false;
    ++next_;
    return true;
  }
  // take(c) after any space; the space is skipped even when `c` does not follow. Text without
  // spaces, as clients write it, takes one comparison.
  bool expect(char c) {
    if (take(c)) return true;
    skip_space();
    return take(c);
  }
  bool digit() const { return next_ != end_ && *next_ >= '0' && *next_ <= '9'; }
  void skip_space() {
    // Every space byte is at most ' ': one comparison passes any other byte.
    while (next_ != end_ && static_cast<unsigned char>(*next_) <= ' ' &&
           (*next_ == ' ' || *next_ == '\n' || *next_ == '\r' || *next_ == '\t')) {
      ++next_;
    }
  }
  bool at_end() {
    skip_space();
    return next_ == end_;
  }
  // The eight bytes at `at`, the first one lowest, with the top bit set of each byte that is '"',
  // '\\', below 0x20 or above 0x7e, and perhaps of bytes after the first such byte (a borrow or
  // carry runs upwards from it), never of one before it.
  static std::uint64_t unplain_bytes(char const* at) {
    constexpr std::uint64_t kOnes = 0x0101010101010101u;
    constexpr std::uint64_t kTops = 0x8080808080808080u;
    std::uint64_t bytes;
    std::memcpy(&bytes, at, sizeof bytes);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    bytes = __builtin_bswap64(bytes);  // the first byte lowest, as the flags' order needs
#endif
    auto const below = [&](std::uint64_t x, unsigned char limit) {
      return (x - kOnes * limit) & ~x & kTops;
    };
    return below(bytes ^ (kOnes * '"'), 1) | below(bytes ^ (kOnes * '\\'), 1) |
           below(bytes, 0x20) | (((bytes + kOnes) | bytes) & kTops);
  }
  // How many bytes precede the first flagged one.
  static unsigned first_flagged(std::uint64_t flagged) {
    return static_cast<unsigned>(__builtin_ctzll(flagged)) / 8;
  }
  // After any space.
  bool string(std::string_view& text) {
    if (!expect('"')) return false;
    char const* const start = next_;
    // Eight bytes at a time up to the first byte that ends the string or is not plain; the
    // byte-wise loop then decides about that byte and reads the last few.
    while (end_ - next_ >= 8) {
      std::uint64_t const flagged = unplain_bytes(next_);
      if (flagged == 0) {
        next_ += 8;
        continue;
      }
      next_ += first_flagged(flagged);
      break;
    }
    for (; next_ != end_ && *next_ != '"'; ++next_) {
      auto const byte = static_cast<unsigned char>(*next_);
      if (byte < 0x20 || byte > 0x7e || byte == '\\') return false;
    }
    if (next_ == end_) return false;
    text = std::string_view(start, static_cast<std::size_t>(next_ - start));
    ++next_;
    return true;
  }
  bool number(double& value) {
    static constexpr double kPowersOfTen[kMaxDigits + 1] = {
        1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    bool const minus = take('-');
    if (!digit()) return false;
    if (*next_ == '0' && next_ + 1 != end_ && next_[1] >= '0' && next_[1] <= '9') return false;
    std::int64_t digits = 0;
    int count = 0;
    int decimals = 0;
    for (; digit(); ++next_) {
      if (++count > kMaxDigits) return false;
      digits = digits * 10 + (*next_ - '0');
    }
    if (take('.')) {
      if (!digit()) return false;
      for (; digit(); ++next_) {
        if (++count > kMaxDigits) return false;
        digits = digits * 10 + (*next_ - '0');
        ++decimals;
      }
    }
    if (next_ != end_ && (*next_ == 'e' || *next_ == 'E')) return false;
    if (decimals == 0) {
      value = static_cast<double>(minus ? -digits : digits);
    } else {
      double const magnitude = static_cast<double>(digits) / kPowersOfTen[decimals];
      value = minus ? -magnitude : magnitude;
    }
    return true;
  }

  char const* next_;
  char const* const end_;
};

}  // namespace

StreamLayoutService::StreamLayoutService(ServiceConfig const& config)
    : config_(config), layouts_(config.streams) {
  for (auto& layout : layouts_) {
    layout = {{{0}, {0}, {kFull}, {kFull}, {0}, {0}, {0}, {kFull}, {kFull}}};
  }
  for (auto& set : roi_sets_) set.resize(config.rois);
}

std::string_view StreamLayoutService::respond(std::string_view text, std::string& buffer) {
  try {
    // A flat request needs no document. Other text is parsed by RapidJSON's reader into a
    // document whose parser stack shares its pool, in place in a copy that each thread reuses:
    // its strings are not copied again. (The parser stops at a NUL byte either way.)
    FlatRequest::Members flat;
    std::size_t flat_count = 0;
    if (FlatRequest(text).read_into(flat, flat_count)) {
      return answer_to(RequestMembers(flat.data(), flat_count), buffer);
    }
    alignas(8) char request_memory[2048];
    auto request_pool = pool_in(request_memory);
    RequestDocument document(&request_pool, 256, &request_pool);
    thread_local std::string in_place;
    in_place.assign(text.data(), text.size());
    // Iterative parsing keeps deeply nested input off the stack; full precision keeps every
    // double exactly as sent; NaN and infinities are accepted because doubles may carry them.
    document.ParseInsitu<rapidjson::kParseIterativeFlag | rapidjson::kParseFullPrecisionFlag |
                         rapidjson::kParseNanAndInfFlag>(in_place.data());
    if (document.HasParseError() || !document.IsObject()) {
      return status_only(buffer, NELKO_CORE_STATUS_INVALID_PARAMS);
    }
    return answer_to(RequestMembers(document), buffer);
  } catch (...) {
    return status_only(buffer, NELKO_CORE_STATUS_INTERNAL_EXCEPTION_CAUGHT);
  }
}

std::string_view StreamLayoutService::answer_to(Request const& request, std::string& buffer) {
  using Handler = int (StreamLayoutService::*)(Request const&, Response&);
  static constexpr std::pair<std::string_view, Handler> kCommands[] = {
      {"Get_stream_layout", &StreamLayoutService::get_stream_layout},
      {"Set_stream_layout", &StreamLayoutService::set_stream_layout},
      {"Set_roi", &StreamLayoutService::set_roi},
      {"Get_roi", &StreamLayoutService::get_roi},
      {"Get_num_roi", &StreamLayoutService::get_num_roi},
      {"Stream_point_to_pan_tilt", &StreamLayoutService::stream_point_to_pan_tilt},
      {"__get_target_version__", &StreamLayoutService::get_target_version}};
  rapidjson::Value const* const command = member(request, "command");
  if (command == nullptr || !command->IsString()) {
    return status_only(buffer, NELKO_CORE_STATUS_UNSUPPORTED_FUNCTION);
  }
  std::string_view const name(command->GetString(), command->GetStringLength());
  auto const entry = std::find_if(std::begin(kCommands), std::end(kCommands),
                                  [name](auto const& c) { return c.first == name; });
  if (entry == std::end(kCommands)) {
    return status_only(buffer, NELKO_CORE_STATUS_UNSUPPORTED_FUNCTION);
  }

  ResponseText answer(buffer, NELKO_CORE_STATUS_NO_ERROR);
  int const status = (this->*entry->second)(request, answer);
  return status == NELKO_CORE_STATUS_NO_ERROR ? answer.close() : status_only(buffer, status);
}

void StreamLayoutService::handle(std::string_view request, std::string& response) {
  // The text starts where the buffer does.
  response.resize(respond(request, response).size());
}

std::string StreamLayoutService::handle(std::string_view request) {
  std::string response;
  handle(request, response);
  return response;
}

int StreamLayoutService::get_stream_layout(Request const& request, Response& response) {
  auto const stream = index_member(request, "stream_index", config_.streams);
  if (!stream) return NELKO_CORE_STATUS_INVALID_PARAMS;
  for (std::size_t key = 0; key < kLayoutKeys.size(); ++key) {
    response.add(kLayoutKeys[key], layouts_[*stream][key]);
  }
  return NELKO_CORE_STATUS_NO_ERROR;
}

int StreamLayoutService::set_stream_layout(Request const& request, Response&) {
  auto const stream = index_member(request, "stream_index", config_.streams);
  if (!stream) return NELKO_CORE_STATUS_INVALID_PARAMS;
  Layout layout;
  for (std::size_t key = 0; key < kLayoutKeys.size(); ++key) {
    auto list = layout_list(request, key);
    if (!list || list->size() > kMaxPlacements || (key > 0 && list->size() != layout[0].size())) {
      return NELKO_CORE_STATUS_INVALID_PARAMS;
    }
    layout[key] = std::move(*list);
  }
  layouts_[*stream] = std::move(layout);
  return NELKO_CORE_STATUS_NO_ERROR;
}

StreamLayoutService::Roi* StreamLayoutService::find_roi(Request const& request) {
  auto const index = index_member(request, "roi_index", config_.rois);
  auto const set = index_member(request, "roi_set", static_cast<unsigned int>(roi_sets_.size()));
  return index && set ? &roi_sets_[*set][*index] : nullptr;
}

int StreamLayoutService::set_roi(Request const& request, Response&) {
  Roi* roi = find_roi(request);
  auto const pan = number_member(request, "pan");
  auto const tilt = number_member(request, "tilt");
  auto const roll = number_member(request, "roll");
  auto const vfov = number_member(request, "vfov");
  if (!roi || !pan || !tilt || !roll || !vfov) return NELKO_CORE_STATUS_INVALID_PARAMS;
  if (config_.strict && !roi_within_limits(*pan, *tilt, *roll, *vfov)) {
    return NELKO_CORE_STATUS_INVALID_PARAMS;
  }
  *roi = {*pan, *tilt, *roll, *vfov};
  return NELKO_CORE_STATUS_NO_ERROR;
}

int StreamLayoutService::get_roi(Request const& request, Response& response) {
  Roi const* roi = find_roi(request);
  if (!roi) return NELKO_CORE_STATUS_INVALID_PARAMS;
  response.add("pan", roi->pan);
  response.add("tilt", roi->tilt);
  response.add("roll", roi->roll);
  response.add("vfov", roi->vfov);
  return NELKO_CORE_STATUS_NO_ERROR;
}

int StreamLayoutService::get_num_roi(Request const&, Response& response) {
  response.add("num", config_.rois);
  return NELKO_CORE_STATUS_NO_ERROR;
}

int StreamLayoutService::stream_point_to_pan_tilt(Request const& request, Response& response) {
  auto const stream = index_member(request, "stream_index", config_.streams);
  auto const x = number_member(request, "x");
  auto const y = number_member(request, "y");
  auto const in_stream = [](double v) { return v >= 0 && v <= kFull; };
  if (!stream || !x || !y || !in_stream(*x) || !in_stream(*y)) {
    return NELKO_CORE_STATUS_INVALID_PARAMS;
  }
  Layout const& layout = layouts_[*stream];
  // Later placements are drawn over earlier ones, so the last one that holds the point counts.
  for (std::size_t i = layout[0].size(); i-- > 0;) {
    double const dx = layout[5][i], dy = layout[6][i], dw = layout[7][i], dh = layout[8][i];
    if (dw == 0 || dh == 0 || *x < dx || *x > dx + dw || *y < dy || *y > dy + dh) continue;
    // Where the point falls in the source rectangle; the image ends at the facet's edges.
    double const u = (layout[0][i] + (*x - dx) / dw * layout[2][i]) / kFull;
    double const v = (layout[1][i] + (*y - dy) / dh * layout[3][i]) / kFull;
    auto const direction =
        facet_point_to_pan_tilt(layout[kDestinationType][i], std::min(u, 1.0), std::min(v, 1.0));
    if (!direction) return NELKO_CORE_STATUS_INVALID_PARAMS;
    response.add("pan", direction->pan);
    response.add("tilt", direction->tilt);
    return NELKO_CORE_STATUS_NO_ERROR;
  }
  return NELKO_CORE_STATUS_INVALID_PARAMS;
}

int StreamLayoutService::get_target_version(Request const&, Response& response) {
  response.add("target_major", config_.version_major);
  response.add("target_minor", config_.version_minor);
  return NELKO_CORE_STATUS_NO_ERROR;
}

}  // namespace nelko::target
