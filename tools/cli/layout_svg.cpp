#include "layout_svg.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <vector>

#include "facet_names.h"
#include "layout_geometry.h"

namespace nelko::cli {
namespace {

// Every frame is drawn 16:9; millipercent are relative to each frame, so the picture shows
// proportions, not pixels. Source rectangles lie in the image of their facet, so each facet
// gets a frame of its own (two columns of small frames on the left); the stream is the large
// frame on the right.
constexpr double kPanelWidth = 480;
constexpr double kPanelHeight = 270;
constexpr double kSourceLeft = 64;
constexpr double kSourceWidth = 224;
constexpr double kSourceHeight = 126;
constexpr double kSourceColumnStep = kSourceWidth + 64;
constexpr double kSourceRowStep = kSourceHeight + 64;
constexpr double kStreamLeft = kSourceLeft + kSourceColumnStep + kSourceWidth + 104;
constexpr double kPanelTop = 136;
constexpr double kCanvasWidth = kStreamLeft + kPanelWidth + 40;
constexpr double kLegendRow = 22;

// Where a frame is drawn.
struct Frame {
  double left, top, width, height;
};
constexpr char kFont[] = "DejaVu Sans, Verdana, Arial, sans-serif";

// A qualitative palette whose neighbours differ clearly; placements past the tenth reuse it with
// dashed outlines.
constexpr std::array<char const*, 10> kFill = {"#4e79a7", "#f28e2b", "#e15759", "#76b7b2",
                                               "#59a14f", "#edc948", "#b07aa1", "#ff9da7",
                                               "#9c755f", "#bab0ac"};
// The same hues darkened for text, readable on white and on the light fills.
constexpr std::array<char const*, 10> kInk = {"#2b4a6e", "#a35a0c", "#a3262a", "#3a7a74",
                                              "#2f6b28", "#8a7000", "#6e4366", "#b0435a",
                                              "#5e4431", "#5f5753"};

struct Box {
  double left, top, right, bottom;
  bool overlaps(Box const& other) const {
    return left < other.right && other.left < right && top < other.bottom && other.top < bottom;
  }
};

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

// Length of the valid UTF-8 sequence at text[i], or 0 when there is none.
std::size_t utf8_length(std::string const& text, std::size_t i) {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char lead = byte(i);
  std::size_t length = lead < 0x80                   ? 1
                       : lead >= 0xC2 && lead < 0xE0 ? 2
                       : lead >= 0xE0 && lead < 0xF0 ? 3
                       : lead >= 0xF0 && lead < 0xF5 ? 4
                                                     : 0;
  if (length == 0 || i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k)
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  // Overlong forms, UTF-16 surrogates and code points above U+10FFFF.
  unsigned char second = length > 1 ? byte(i + 1) : 0;
  if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) ||
      (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F))
    return 0;
  return length;
}

// Text for an XML text node or attribute: markup characters escaped, control characters and
// invalid UTF-8 (a file name may hold any bytes) replaced by '?', which XML would refuse.
std::string escape(std::string const& text) {
  std::string escaped;
  for (std::size_t i = 0; i < text.size();) {
    char c = text[i];
    std::size_t length = utf8_length(text, i);
    if (length > 1) {
      escaped.append(text, i, length);
      i += length;
      continue;
    }
    ++i;
    if (c == '&')
      escaped += "&amp;";
    else if (c == '<')
      escaped += "&lt;";
    else if (c == '>')
      escaped += "&gt;";
    else if (c == '"')
      escaped += "&quot;";
    else if (length == 0 || (static_cast<unsigned char>(c) < 0x20 && c != '\t'))
      escaped += '?';
    else
      escaped += c;
  }
  return escaped;
}

// A rough width of bold sans-serif text; only used to choose how to fit a label.
double text_width(std::string const& text, double size) {
  return static_cast<double>(text.size()) * size * 0.64;
}

std::string range(std::uint32_t start, std::uint32_t length) {
  // A layout read from a target is not checked, so the end may pass 2^32.
  return percent_text(start) + "\u2013" + percent_text(std::uint64_t{start} + length) + " %";
}

std::string rect_text(Rect const& r) {
  return "x " + range(r.x, r.width) + ", y " + range(r.y, r.height);
}

class SvgWriter {
 public:
  SvgWriter(Layout const& layout, std::string const& title) : layout_(layout), title_(title) {}

  std::string render() {
    for (std::size_t i = 0; i < layout_.placements.size(); ++i) {
      std::uint32_t const facet = layout_.placements[i].facet;
      auto same = [facet](auto const& group) { return group.first == facet; };
      auto group = std::find_if(facets_.begin(), facets_.end(), same);
      if (group == facets_.end()) group = facets_.insert(facets_.end(), {facet, {}});
      group->second.push_back(i);
    }
    remarks_ = layout_remarks(layout_);
    std::size_t const source_rows = (facets_.size() + 1) / 2;
    double const sources_bottom =
        kPanelTop + static_cast<double>(std::max<std::size_t>(source_rows, 1) - 1) * kSourceRowStep +
        kSourceHeight;
    legend_top_ = std::max(sources_bottom, kPanelTop + kPanelHeight) + 44;
    std::size_t rows = std::max<std::size_t>(layout_.placements.size(), 1);
    double height = legend_top_ + 30 + static_cast<double>(rows) * kLegendRow + 16;
    if (!remarks_.empty()) height += 30 + static_cast<double>(remarks_.size()) * 18;
    out_ += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    out_ += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + number(kCanvasWidth) +
            "\" height=\"" + number(height) + "\" viewBox=\"0 0 " + number(kCanvasWidth) + " " +
            number(height) + "\" font-family=\"" + kFont + "\">\n";
    out_ += "<title>" + escape(title_) + "</title>\n";
    out_ +=
        "<defs><marker id=\"arrow\" viewBox=\"0 0 10 10\" refX=\"9\" refY=\"5\" "
        "markerWidth=\"8\" markerHeight=\"8\" orient=\"auto\"><path d=\"M0,0 L10,5 L0,10 z\" "
        "fill=\"#555\"/></marker></defs>\n";
    out_ += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    heading();
    for (std::size_t f = 0; f < facets_.size(); ++f) {
      Frame const frame{kSourceLeft + static_cast<double>(f % 2) * kSourceColumnStep,
                        kPanelTop + static_cast<double>(f / 2) * kSourceRowStep, kSourceWidth,
                        kSourceHeight};
      panel(frame, "Image of " + facet_label(facets_[f].first), facets_[f].second, true);
    }
    if (facets_.empty()) {
      panel({kSourceLeft, kPanelTop, kSourceWidth, kSourceHeight}, "Facet images", {}, true);
    }
    std::vector<std::size_t> all(layout_.placements.size());
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
    panel({kStreamLeft, kPanelTop, kPanelWidth, kPanelHeight},
          layout_.stream ? "Stream " + std::to_string(*layout_.stream) : "Stream", all, false);
    double middle = kPanelTop + kPanelHeight / 2;
    out_ += "<line x1=\"" + number(kStreamLeft - 90) + "\" y1=\"" + number(middle) +
            "\" x2=\"" + number(kStreamLeft - 50) + "\" y2=\"" + number(middle) +
            "\" stroke=\"#555\" stroke-width=\"2\" marker-end=\"url(#arrow)\"/>\n";
    legend();
    out_ += "</svg>\n";
    return out_;
  }

 private:
  void heading() {
    std::size_t count = layout_.placements.size();
    out_ += text(kSourceLeft, 36, escape(title_), "font-size=\"22\" font-weight=\"bold\"");
    out_ += text(kSourceLeft, 60,
                 std::to_string(count) + (count == 1 ? " placement" : " placements") +
                     ": each source rectangle, cut from the image of its facet (left, one frame "
                     "per facet), is placed into the destination rectangle",
                 "font-size=\"13\" fill=\"#444\"");
    out_ += text(kSourceLeft, 78,
                 "of the same colour in the stream (right). Axes in percent of each frame's "
                 "width and height; parts past an edge are cut (red).",
                 "font-size=\"13\" fill=\"#444\"");
  }

  void panel(Frame const& frame, std::string const& name, std::vector<std::size_t> const& shown,
             bool sources) {
    double const left = frame.left, top = frame.top, width = frame.width, height = frame.height;
    out_ += text(left, top - 26, escape(name), "font-size=\"15\" font-weight=\"bold\"");
    out_ += "<rect x=\"" + number(left) + "\" y=\"" + number(top) + "\" width=\"" +
            number(width) + "\" height=\"" + number(height) + "\" fill=\"#f3f3f3\"/>\n";
    int const steps = width < kPanelWidth ? 2 : 4;
    for (int step = 0; step <= steps; ++step) {
      double x = left + width * step / steps;
      double y = top + height * step / steps;
      std::string label = std::to_string(step * 100 / steps) + "%";
      if (step > 0 && step < steps) {
        out_ += line(x, top, x, top + height, "stroke=\"#d6d6d6\"");
        out_ += line(left, y, left + width, y, "stroke=\"#d6d6d6\"");
      }
      out_ += line(x, top - 4, x, top, "stroke=\"#555\"");
      out_ += line(left - 4, y, left, y, "stroke=\"#555\"");
      out_ += text(x, top - 8, label, "font-size=\"11\" fill=\"#555\" text-anchor=\"middle\"");
      out_ += text(left - 7, y + 4, label, "font-size=\"11\" fill=\"#555\" text-anchor=\"end\"");
    }
    if (shown.empty())
      out_ += text(left + width / 2, top + height / 2, "no placements",
                   "font-size=\"16\" fill=\"#888\" font-style=\"italic\" text-anchor=\"middle\"");

    // The frame's own outline goes first, so that the outline of a rectangle that fills the
    // frame stays visible on top of it.
    out_ += "<rect x=\"" + number(left) + "\" y=\"" + number(top) + "\" width=\"" +
            number(width) + "\" height=\"" + number(height) +
            "\" fill=\"none\" stroke=\"#333\" stroke-width=\"1.5\"/>\n";

    std::size_t count = shown.size();
    std::vector<Box> areas;   // where each rectangle is
    std::vector<Box> boxes;   // where its outline is drawn
    std::vector<int> repeat;  // how many equal rectangles come before it
    std::vector<int> equals;  // how many equal rectangles there are, itself included
    for (std::size_t i = 0; i < count; ++i) {
      Rect const& rect = of(layout_.placements[shown[i]], sources);
      repeat.push_back(0);
      equals.push_back(0);
      for (std::size_t j = 0; j < count; ++j) {
        bool same = of(layout_.placements[shown[j]], sources) == rect;
        repeat.back() += same && j < i;
        equals.back() += same;
      }
      // The outline is drawn inside the rectangle, so neighbours that share an edge both show
      // theirs; equal rectangles would still hide each other, so each repeat is inset further.
      Box box = place(frame, rect);
      double inset = std::min(1.5 + 3.0 * repeat[i],
                              std::min(box.right - box.left, box.bottom - box.top) / 2 - 0.5);
      inset = std::max(inset, 0.0);
      areas.push_back(box);
      boxes.push_back({box.left + inset, box.top + inset, box.right - inset, box.bottom - inset});
    }
    // Largest first, so that no rectangle is buried under a bigger one's fill. Repeats get no
    // fill of their own: stacked fills of several colours would only mix into mud.
    std::vector<std::size_t> order(count);
    for (std::size_t i = 0; i < count; ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return area(areas[a]) > area(areas[b]); });
    for (std::size_t i : order) {
      Box const& box = boxes[i];
      std::size_t const index = shown[i];
      std::size_t colour = index % kFill.size();
      std::string fill =
          repeat[i] > 0 ? "none\"" : std::string(kFill[colour]) + "\" fill-opacity=\"0.22\"";
      std::string dashes = (index / kFill.size()) % 2 == 1 ? " stroke-dasharray=\"7 4\"" : "";
      out_ += "<rect x=\"" + number(box.left) + "\" y=\"" + number(box.top) + "\" width=\"" +
              number(box.right - box.left) + "\" height=\"" + number(box.bottom - box.top) +
              "\" fill=\"" + fill + " stroke=\"" + kFill[colour] + "\" stroke-width=\"2\"" +
              dashes + "/>\n";
      cut_edges(frame, of(layout_.placements[index], sources), areas[i]);
    }
    // Labels last, so that no fill covers them; smallest rectangles first, as they have the
    // least room to move a label in. In a facet's frame the facet is its title: "#i" will do.
    std::vector<Box> labels;
    for (auto i = order.rbegin(); i != order.rend(); ++i) {
      bool holds_others = false;
      for (std::size_t j = 0; j < count; ++j)
        holds_others = holds_others || contains(areas[*i], areas[j]);
      label(frame, boxes[*i], shown[*i], !sources, holds_others, repeat[*i], equals[*i], labels);
    }
  }

  // A red line along each edge where the rectangle is cut by the frame.
  void cut_edges(Frame const& frame, Rect const& rect, Box const& box) {
    std::string const red = "stroke=\"#d62728\" stroke-width=\"3\" stroke-dasharray=\"5 3\"";
    // At least 10 units long, so that the cut of a thin rectangle shows too, and inside the
    // frame's side.
    auto span = [](double from, double to, double low, double high) {
      double const length = std::max(to - from, 10.0);
      double const start = std::clamp((from + to - length) / 2, low, high - length);
      return std::make_pair(start, start + length);
    };
    if (std::uint64_t{rect.x} + rect.width > kFullExtent) {
      auto const [top, bottom] = span(box.top, box.bottom, frame.top, frame.top + frame.height);
      out_ += line(frame.left + frame.width, top, frame.left + frame.width, bottom, red);
    }
    if (std::uint64_t{rect.y} + rect.height > kFullExtent) {
      auto const [left, right] = span(box.left, box.right, frame.left, frame.left + frame.width);
      out_ += line(left, frame.top + frame.height, right, frame.top + frame.height, red);
    }
  }

  static Rect const& of(Placement const& placement, bool sources) {
    return sources ? placement.source : placement.destination;
  }

  static double area(Box const& box) { return (box.right - box.left) * (box.bottom - box.top); }

  static bool contains(Box const& outer, Box const& inner) {
    return outer.left <= inner.left && outer.top <= inner.top && inner.right <= outer.right &&
           inner.bottom <= outer.bottom && area(inner) < area(outer);
  }

  // Writes "#i facet" inside the rectangle: on one line if it fits, else on two, else "#i"
  // alone. It goes in the middle, or along the top edge of a rectangle that holds others (whose
  // labels take the middle), and moves down or up past labels already in this frame.
  // Equal rectangles (the `equals` of them, this one the `repeat`-th) stack their labels in
  // index order.
  void label(Frame const& frame, Box const& rect, std::size_t index, bool with_facet,
             bool at_top, int repeat, int equals, std::vector<Box>& taken) {
    std::string index_text = "#" + std::to_string(index);
    std::string name = facet_label(layout_.placements[index].facet);
    double room = rect.right - rect.left - 6;
    std::vector<std::string> lines;
    double size = 13;
    if (!with_facet) {
      lines = {index_text};
    } else if (text_width(index_text + " " + name, size) <= room) {
      lines = {index_text + " " + name};
    } else if (text_width(name, 11) <= room && rect.bottom - rect.top >= 30) {
      size = 11;
      lines = {index_text, name};
    } else {
      size = 11;
      lines = {index_text};
    }
    double width = 0;
    for (std::string const& line : lines) width = std::max(width, text_width(line, size));
    double line_height = size + 3;
    double height = line_height * static_cast<double>(lines.size());
    // Inside the frame, clear of its outline and of the axis labels around it, however thin
    // the rectangle.
    double const margin = 3;
    double centre_x = std::clamp((rect.left + rect.right) / 2, frame.left + margin + width / 2,
                                 frame.left + frame.width - margin - width / 2);
    double block = (height + 2) * equals;
    double first = at_top ? std::min(rect.top + 4, (rect.top + rect.bottom - block) / 2)
                          : (rect.top + rect.bottom - block) / 2;
    double centre_y = first + (height + 2) * repeat + height / 2;
    Box chosen{centre_x - width / 2, centre_y - height / 2, centre_x + width / 2,
               centre_y + height / 2};
    for (int attempt = 0; attempt < 40; ++attempt) {
      // 0, +1, -1, +2, -2, ... label heights away from the start; only downwards from the top.
      double steps = at_top ? attempt : (attempt + 1) / 2 * (attempt % 2 == 1 ? 1.0 : -1.0);
      if (equals > 1) steps = attempt * equals;  // keep the stack's order when it must move
      double shift = steps * (height + 2);
      Box candidate{chosen.left, centre_y - height / 2 + shift, chosen.right,
                    centre_y + height / 2 + shift};
      bool free = std::none_of(taken.begin(), taken.end(),
                               [&](Box const& other) { return other.overlaps(candidate); });
      if (free) {
        chosen = candidate;
        break;
      }
    }
    double const lowest = frame.top + margin, highest = frame.top + frame.height - margin;
    if (chosen.top < lowest) chosen = {chosen.left, lowest, chosen.right, lowest + height};
    if (chosen.bottom > highest) chosen = {chosen.left, highest - height, chosen.right, highest};
    taken.push_back(chosen);
    std::string ink = kInk[index % kInk.size()];
    for (std::size_t line = 0; line < lines.size(); ++line) {
      double baseline = chosen.top + line_height * static_cast<double>(line) + size - 1;
      // A white halo under the glyphs keeps them readable over outlines and other fills.
      out_ += text(centre_x, baseline, escape(lines[line]),
                   "font-size=\"" + number(size) + "\" font-weight=\"bold\" fill=\"" + ink +
                       "\" text-anchor=\"middle\" stroke=\"white\" stroke-width=\"3\" "
                       "stroke-linejoin=\"round\" paint-order=\"stroke\"");
    }
  }

  void legend() {
    out_ += text(kSourceLeft, legend_top_, "Placements", "font-size=\"15\" font-weight=\"bold\"");
    double header = legend_top_ + 22;
    out_ += text(kSourceLeft + 210, header - 4, "source (in the facet's image)",
                 "font-size=\"11\" fill=\"#666\"");
    out_ += text(kSourceLeft + 560, header - 4, "destination (stream)",
                 "font-size=\"11\" fill=\"#666\"");
    for (std::size_t i = 0; i < layout_.placements.size(); ++i) {
      Placement const& placement = layout_.placements[i];
      double top = header + static_cast<double>(i) * kLegendRow;
      std::size_t colour = i % kFill.size();
      std::string dashes = (i / kFill.size()) % 2 == 1 ? " stroke-dasharray=\"4 2\"" : "";
      out_ += "<rect x=\"" + number(kSourceLeft) + "\" y=\"" + number(top + 4) +
              "\" width=\"16\" height=\"14\" fill=\"" + kFill[colour] +
              "\" fill-opacity=\"0.35\" stroke=\"" + kFill[colour] + "\" stroke-width=\"2\"" +
              dashes + "/>\n";
      out_ += text(
          kSourceLeft + 26, top + 16, "#" + std::to_string(i) + " " + facet_label(placement.facet),
          std::string("font-size=\"13\" font-weight=\"bold\" fill=\"") + kInk[colour] + "\"");
      out_ += text(kSourceLeft + 210, top + 16, rect_text(placement.source), "font-size=\"13\"");
      out_ += text(kSourceLeft + 520, top + 16, "\u2192", "font-size=\"13\" fill=\"#555\"");
      out_ +=
          text(kSourceLeft + 560, top + 16, rect_text(placement.destination), "font-size=\"13\"");
    }
    if (remarks_.empty()) return;
    double notes = header + static_cast<double>(layout_.placements.size()) * kLegendRow + 30;
    out_ += text(kSourceLeft, notes, "Notes", "font-size=\"15\" font-weight=\"bold\"");
    for (std::size_t i = 0; i < remarks_.size(); ++i)
      out_ += text(kSourceLeft, notes + 18 * static_cast<double>(i + 1), escape(remarks_[i]),
                   "font-size=\"12\" fill=\"#d62728\"");
  }

  // The rectangle in the frame's coordinates. Parts outside the frame (possible in a layout
  // read from a target, which is not checked) are cut off at its edge.
  static Box place(Frame const& frame, Rect const& rect) {
    auto clamp = [](double value) { return std::min(value, double{kFullExtent}); };
    double scale_x = frame.width / kFullExtent;
    double scale_y = frame.height / kFullExtent;
    return {frame.left + clamp(rect.x) * scale_x, frame.top + clamp(rect.y) * scale_y,
            frame.left + clamp(static_cast<double>(rect.x) + rect.width) * scale_x,
            frame.top + clamp(static_cast<double>(rect.y) + rect.height) * scale_y};
  }

  static std::string text(double x, double y, std::string const& escaped,
                          std::string const& attributes) {
    return "<text x=\"" + number(x) + "\" y=\"" + number(y) + "\" " + attributes + ">" + escaped +
           "</text>\n";
  }

  static std::string line(double x1, double y1, double x2, double y2,
                          std::string const& attributes) {
    return "<line x1=\"" + number(x1) + "\" y1=\"" + number(y1) + "\" x2=\"" + number(x2) +
           "\" y2=\"" + number(y2) + "\" " + attributes + "/>\n";
  }

  Layout const& layout_;
  std::string const& title_;
  std::string out_;
  // The facets in order of first use, each with the placements that use it.
  std::vector<std::pair<std::uint32_t, std::vector<std::size_t>>> facets_;
  std::vector<std::string> remarks_;
  double legend_top_ = 0;
};

}  // namespace

std::string percent_text(std::uint64_t millipercent) {
  std::string text = std::to_string(millipercent / 1000);
  unsigned fraction = static_cast<unsigned>(millipercent % 1000);
  if (fraction != 0) {
    char digits[8];
    std::snprintf(digits, sizeof digits, ".%03u", fraction);
    text += digits;
    while (text.back() == '0') text.pop_back();
  }
  return text;
}

std::string render_layout_svg(Layout const& layout, std::string const& title) {
  return SvgWriter(layout, title).render();
}

}  // namespace nelko::cli
