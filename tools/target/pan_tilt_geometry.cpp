#include "pan_tilt_geometry.h"

#include <cmath>

#include "nelko_api_stream_layout.h"

namespace nelko::target {
namespace {

constexpr double kDegrees = 180.0 / 3.14159265358979323846;

// Right-handed camera coordinates: x east (pan +90), y up, z forward (pan 0).
struct Vec {
  double x, y, z;
};

Vec operator+(Vec a, Vec b) {
  return {a.x + b.x, a.y + b.y, a.z + b.z};
}
Vec operator*(double s, Vec a) {
  return {s * a.x, s * a.y, s * a.z};
}

// A view: the ray through its centre and the directions of its right and top edges.
struct Frame {
  Vec forward, right, up;
};

PanTilt direction_to_pan_tilt(Vec d) {
  double const horizontal = std::hypot(d.x, d.z);
  // Straight up or down every pan is the same direction; rounding would otherwise pick one at
  // random, so the zenith and the nadir read as pan 0.
  if (horizontal <= 1e-12 * std::abs(d.y)) return {0, d.y > 0 ? 90.0 : -90.0};
  // Adding 0.0 turns a -0 from atan2 into +0, so straight ahead reads as pan 0, not -0.
  double const pan = std::atan2(d.x, d.z) * kDegrees + 0.0;
  double const tilt = std::atan2(d.y, horizontal) * kDegrees + 0.0;
  return {pan, tilt};
}

// The same rule for the facets computed from angles directly: at tilt +-90, pan 0.
PanTilt at_pole_pan_zero(PanTilt direction) {
  if (std::abs(direction.tilt) == 90) direction.pan = 0;
  return direction;
}

Frame frame_at_pan(double pan_degrees) {
  double const p = pan_degrees / kDegrees;
  double const s = std::sin(p), c = std::cos(p);
  return {{s, 0, c}, {c, 0, -s}, {0, 1, 0}};
}

// Exact frames, so that face centres and edges come out without rounding noise.
Frame cube_face_frame(unsigned int facet) {
  switch (facet) {
    case kStreamLayoutFacetCubeFaceBack:
      return {{0, 0, -1}, {-1, 0, 0}, {0, 1, 0}};
    case kStreamLayoutFacetCubeFaceLeft:
      return {{-1, 0, 0}, {0, 0, 1}, {0, 1, 0}};
    case kStreamLayoutFacetCubeFaceRight:
      return {{1, 0, 0}, {0, 0, -1}, {0, 1, 0}};
    case kStreamLayoutFacetCubeFaceUp:
      return {{0, 1, 0}, {1, 0, 0}, {0, 0, -1}};
    case kStreamLayoutFacetCubeFaceDown:
      return {{0, -1, 0}, {1, 0, 0}, {0, 0, 1}};
    default:
      return {{0, 0, 1}, {1, 0, 0}, {0, 1, 0}};
  }
}

PanTilt cube_face(unsigned int facet, double u, double v) {
  Frame const f = cube_face_frame(facet);
  return direction_to_pan_tilt(f.forward + (2 * u - 1) * f.right + (1 - 2 * v) * f.up);
}

std::optional<PanTilt> fisheye(double axis_pan, double u, double v) {
  double const a = 2 * u - 1, b = 1 - 2 * v;
  double const radius = std::hypot(a, b);
  // The lens sees 90 degrees around its axis; the facet's corners beyond the image circle are
  // dark and show no direction.
  if (radius > 1) return std::nullopt;
  double const off_axis = radius * 90.0 / kDegrees;
  double const around = std::atan2(b, a);
  Frame const f = frame_at_pan(axis_pan);
  double const side = std::sin(off_axis);
  return direction_to_pan_tilt(std::cos(off_axis) * f.forward + side * std::cos(around) * f.right +
                               side * std::sin(around) * f.up);
}

}  // namespace

bool is_facet(unsigned int facet) {
  return facet <= kStreamLayoutFacetGridXY33 ||
         (facet >= kStreamLayoutFacetEquirect0 && facet <= kStreamLayoutFacetMetadata);
}

std::optional<PanTilt> facet_point_to_pan_tilt(unsigned int facet, double u, double v) {
  if (facet == kStreamLayoutFacetFullFrame) return at_pole_pan_zero({-180 + 360 * u, 90 - 180 * v});
  if (facet <= kStreamLayoutFacetCubeFaceDown) return cube_face(facet, u, v);
  if (facet <= kStreamLayoutFacetGridXY33) {
    unsigned int const cell = facet - kStreamLayoutFacetGridXY00;
    return at_pole_pan_zero({-180 + 90 * (cell % 4 + u), 90 - 45 * (cell / 4 + v)});
  }
  if (facet >= kStreamLayoutFacetEquirect0 && facet <= kStreamLayoutFacetEquirectF) {
    return at_pole_pan_zero({-180 + 22.5 * (facet - kStreamLayoutFacetEquirect0 + u), 90 - 180 * v});
  }
  if (facet >= kStreamLayoutFacetImmersive0 && facet <= kStreamLayoutFacetImmersiveF) {
    return fisheye(22.5 * (facet - kStreamLayoutFacetImmersive0), u, v);
  }
  return std::nullopt;
}

}  // namespace nelko::target
