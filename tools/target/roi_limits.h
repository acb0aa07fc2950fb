// The ROI values that a camera accepts, enforced by stream-layout-target --strict: finite
// numbers, pan and roll in -180..180 degrees, tilt in -90..90, a vertical field of view of
// 1..180 degrees.
#ifndef STREAM_LAYOUT_TARGET_ROI_LIMITS_H
#define STREAM_LAYOUT_TARGET_ROI_LIMITS_H

namespace nelko::target {

// False for NaN and infinities too: every comparison with NaN is false.
inline bool roi_within_limits(double pan, double tilt, double roll, double vfov) {
  return pan >= -180 && pan <= 180 && tilt >= -90 && tilt <= 90 && roll >= -180 && roll <= 180 &&
         vfov >= 1 && vfov <= 180;
}

}  // namespace nelko::target

#endif
