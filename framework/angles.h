// framework/angles.h - the angle units of the framework, the solver and the tools
// Sky angles are radians inside; degrees, hours and arcseconds appear only at the user edge and
// convert through these factors. C++ only (constexpr); no C source needs them. Any thread.
#ifndef KESTIL_FRAMEWORK_ANGLES_H
#define KESTIL_FRAMEWORK_ANGLES_H

#ifdef __cplusplus

#include <numbers>

inline constexpr double pi = std::numbers::pi;
inline constexpr double two_pi = 2.0 * std::numbers::pi;
inline constexpr double half_pi = 0.5 * std::numbers::pi;
inline constexpr double rad_per_deg = std::numbers::pi / 180.0;
inline constexpr double deg_per_rad = 180.0 / std::numbers::pi;
inline constexpr double deg_per_hour = 15.0;  // right ascension: 24 h = 360 deg
inline constexpr double arcmin_per_deg = 60.0;
inline constexpr double arcsec_per_deg = 3600.0;
inline constexpr double rad_per_arcsec = std::numbers::pi / (180.0 * 3600.0);

#endif  // __cplusplus

#endif
