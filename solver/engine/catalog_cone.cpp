// solver/engine/catalog_cone.cpp - an index restricted to the stars around a position hint
#include "solver/engine/catalog_cone.h"

#include <cmath>
#include <cstring>

#include "framework/alloc.h"
#include "framework/angles.h"
#include "framework/log.h"

extern "C" int32_t kestil_solver_cone_catalog(const IndexFile* index, float ra, float dec,
                                              float radius, IndexFile* view) {
    std::memset(view, 0, sizeof(*view));
    view->scale = index->scale;
    view->star_count = index->star_count;
    view->quad_count = index->quad_count;
    view->stars = index->stars;
    view->buckets = index->buckets;
    view->codes = index->codes;
    view->sizes = index->sizes;
    view->quad_stars = index->quad_stars;
    auto* flags = static_cast<uint8_t*>(
        kestil_checked_calloc(index->star_count > 0 ? index->star_count : 1, 1));
    view->in_cone = flags;
    view->owned[INDEX_OWNED_SLOTS - 1] = flags;

    // Great-circle distance test: cos(distance) >= cos(radius); the declination band first.
    double r = radius;
    double c = std::cos(r);
    double sin_dec0 = std::sin(static_cast<double>(dec));
    double cos_dec0 = std::cos(static_cast<double>(dec));
    bool everything = r >= pi;
    int32_t count = 0;
    for (uint32_t i = 0; i < index->star_count; ++i) {
        const CatalogStar& star = index->stars[i];
        bool in = everything;
        if (!in && std::fabs(static_cast<double>(star.dec) - dec) <= r) {
            double d = static_cast<double>(star.dec);
            in = std::cos(static_cast<double>(star.ra) - ra) * std::cos(d) * cos_dec0 +
                     std::sin(d) * sin_dec0 >= c;
        }
        if (in) {
            flags[i] = 1;
            ++count;
        }
    }
    kestil_debug("%s: %d of %u catalog stars within %.2f° of RA %.3f° Dec %.3f°",
                 "kestil_solver_cone_catalog", count, index->star_count, r * deg_per_rad,
                 ra * deg_per_rad, dec * deg_per_rad);
    return count;
}
