// tools/deep_catalog/deep_catalog.h - synthetic deep star catalogues for a patch of sky
// Stars are spread uniformly over a cone (Poisson) with the cumulative counts per square degree
// of a mid-galactic-latitude field, log10 N(<m) = log10(45) + 0.36 (m - 12) - 0.006 (m - 12)^2,
// which matches the bright-star catalogue's median of 46 stars per square degree to magnitude 12
// and rises to about 6,000 at magnitude 18. Deterministic for a given seed. Single-threaded.
#ifndef KESTIL_TOOLS_DEEP_CATALOG_DEEP_CATALOG_H
#define KESTIL_TOOLS_DEEP_CATALOG_DEEP_CATALOG_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Stars per square degree brighter than magnitude mag.
double deep_star_density(double mag);

// Given:  ra, dec, radius   cone, degrees; bright, faint   magnitude range; seed
//         path              CSV output (ra,dec,mag), sorted by magnitude
// Returned: count           stars written
// Result: true on success; false with a static message
bool write_deep_catalog(double ra, double dec, double radius, double bright, double faint,
                        uint64_t seed, const char* path, size_t* count, const char** message);

#ifdef __cplusplus
}
#endif

#endif
