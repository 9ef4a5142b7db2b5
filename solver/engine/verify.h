// solver/engine/verify.h - verification of a candidate plate against the whole field
// A candidate plate maps working-image pixels to the sky. The index stars that fall inside the
// image are projected through it, brightest first, and each claims the nearest unclaimed image
// star within the match radius. The evidence is the log-odds of two hypotheses, summed over the
// index stars: the plate is right (an index star is detected with probability q at a Gaussian
// offset of sigma pixels, among background detections) or it is chance (only the background,
// whose density is the number of image stars over the image area). The best log-odds over the
// prefixes of the brightness order is taken, so that index stars fainter than the image's
// detection limit do not drown a right plate. A plate is accepted at odds of 10^9 or more.
// Index stars are numbered brightest first (index files keep catalogue order). Positions in
// working-image pixels, centre of column c at c + 0.5; sky angles in radians, J2000.
// Reference: Lang et al. 2010, AJ 139, 1782, section 2.5 (the decision between "true match" and
// "chance" over the reference stars in the field). Single-threaded per call; the SkyStars and
// StarGrid records are read-only once made and may be shared between threads.
#ifndef KESTIL_SOLVER_ENGINE_VERIFY_H
#define KESTIL_SOLVER_ENGINE_VERIFY_H

#include <stdbool.h>
#include <stdint.h>

#include "solver/engine/plate_fit.h"
#include "solver/index/index_file.h"
#include "solver/stars/image_stars.h"

#ifdef __cplusplus
extern "C" {
#endif

// The stars of an index in declination bands, each band sorted by right ascension, with their
// unit vectors, for cone queries (made once per index).
typedef struct SkyStars {
    uint32_t count;
    int32_t bands;
    double band_height;    // radians
    uint32_t* band_start;  // bands + 1 entries: first position of each band
    uint32_t* order;       // star numbers, by band and then right ascension
    float* ra;             // their right ascensions, radians
    float* vector;         // their unit vectors, 3 floats each
} SkyStars;

// The image stars in square cells, for nearest-neighbour queries (made once per star list).
typedef struct StarGrid {
    const ImageStar* stars;
    int32_t star_count;
    int32_t columns, rows;
    float cell;     // pixels
    int32_t* head;  // first star of each cell, -1 = none
    int32_t* next;  // next star in the same cell, -1 = none
} StarGrid;

// One index star matched to an image star.
typedef struct VerifyPair {
    int32_t image;     // position in the image star list
    uint32_t catalog;  // star number in the index
    float distance;    // pixels
} VerifyPair;

typedef struct VerifyResult {
    double log_odds;     // natural log of the odds "right" : "chance", best prefix
    int32_t references;  // index stars inside the image
    int32_t used;        // of them, in the best prefix
    int32_t hits;        // matched within the best prefix
} VerifyResult;

enum { SOLVER_VERIFY_MAX_REFERENCES = 2000 };

// Log-odds at which a plate is accepted: ln(10^9).
extern const double kestil_solver_accept_log_odds;

// Sorts the stars of an index into declination bands of about band_height radians.
void kestil_solver_sky_stars(const IndexFile* index, double band_height, SkyStars* sky);
void kestil_solver_release_sky_stars(SkyStars* sky);

// Puts star_count stars of an image of width x height pixels into cells. The stars are borrowed
// and must outlive the grid.
void kestil_solver_star_grid(const ImageStar* stars, int32_t star_count, int32_t width,
                             int32_t height, StarGrid* grid);
void kestil_solver_release_star_grid(StarGrid* grid);

// Given:    model           the candidate plate
//           grid            the image stars
//           width, height   working-image size, pixels
//           index           the index (or a cone view: stars outside the cone are ignored)
//           sky             the index's stars in bands, or null for a linear scan
//           excluded, excluded_count   index stars that defined the plate (not counted)
//           drop_best       how many of the largest hit terms to leave out (the stars that
//                           defined a plate when they are not known one by one)
//           star_limit      only the brightest star_limit image stars take part (the density
//                           of chance matches drops with them); 0 = all
//           pairs, capacity room for the matched pairs of the best prefix (may be null)
// Returned: pair_count      matched pairs written (may be null)
//           result          the evidence
// Result:   true when the plate is accepted (log-odds at least kestil_solver_accept_log_odds)
bool kestil_solver_verify(const PlateModel* model, const StarGrid* grid, int32_t width,
                          int32_t height, const IndexFile* index, const SkyStars* sky,
                          const uint32_t* excluded, int32_t excluded_count, int32_t drop_best,
                          int32_t star_limit, VerifyPair* pairs, int32_t capacity,
                          int32_t* pair_count, VerifyResult* result);

// Image pixel of a sky direction through a plate. Result: false when it has no projection.
bool kestil_solver_plate_pixel(const PlateModel* model, float ra, float dec, float* x, float* y);

// Sky direction of an image pixel through a plate.
void kestil_solver_plate_sky(const PlateModel* model, float x, float y, float* ra, float* dec);

#ifdef __cplusplus
}
#endif

#endif
