// How the simulated camera turns a point of a facet into pan and tilt.
//
// Every facet is one view of the sphere around the camera. A point of a facet is given as
// normalised coordinates (u, v): u = 0 is the facet's left edge and 1 its right edge, v = 0 its
// top edge and 1 its bottom edge. Angles are in degrees; pan grows to the right (east) and is
// 0 straight ahead; tilt grows upwards and is 0 at the horizon.
//
//  full frame          the whole sphere as a 360x180 equirectangular panorama:
//                      pan = -180 + 360u, tilt = 90 - 180v.
//  cube faces          a 90-degree pinhole view, centred on front (pan 0), right (+90),
//                      back (180), left (-90), up (tilt +90) or down (tilt -90). The ray through
//                      the point is centre + (2u - 1) * right + (1 - 2v) * up; pan is the
//                      atan2 of its east and forward parts, tilt the asin of its up part.
//                      Up and down are seen as when tilting the head from the front view: the
//                      top edge of the up face lies towards the back, the top edge of the down
//                      face towards the front.
//  grid cell XY        the full frame cut into 4 x 4 cells of 90 x 45 degrees, x counting
//                      columns from pan -180, y counting rows from tilt 90:
//                      pan = -180 + 90(x + u), tilt = 90 - 45(y + v).
//  equirect h          the full frame cut into 16 vertical slices of 22.5 degrees of pan, h
//                      counting from pan -180, each spanning the whole tilt range:
//                      pan = -180 + 22.5(h + u), tilt = 90 - 180v.
//  immersive h         an equidistant fisheye lens with a 180-degree image circle inscribed in
//                      the facet, its axis at tilt 0 and pan 22.5h (h = 4 looks right, h = 8
//                      back, h = 12 left). A point at distance r from the centre (r = 1 on the
//                      circle) lies r * 90 degrees off the axis, in the direction of the point;
//                      the corners outside the circle are dark: no direction.
//  metadata            not an image: no direction.
//
// Pan comes out in -180..180, tilt in -90..90; straight up or down (tilt +-90) pan is 0.
#ifndef STREAM_LAYOUT_TARGET_PAN_TILT_GEOMETRY_H
#define STREAM_LAYOUT_TARGET_PAN_TILT_GEOMETRY_H

#include <optional>

namespace nelko::target {

struct PanTilt {
  double pan;
  double tilt;
};

// True for the values that name a facet: 0..22, 48..80.
bool is_facet(unsigned int facet);

// The direction of point (u, v) of the facet; nothing for the metadata facet and non-facets.
std::optional<PanTilt> facet_point_to_pan_tilt(unsigned int facet, double u, double v);

}  // namespace nelko::target

#endif
