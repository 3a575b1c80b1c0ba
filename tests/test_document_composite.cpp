// Compositing: the blending modes against their formulas, the first-layer rule, groups and
// separators, View Current Group Only, the live-synthesis refresh and Merge Down's checks.
#include "document/composite.h"
#include "test_doc.h"

#include <cmath>

namespace {

// A plane from rows of values.
Plane make_plane(const std::vector<std::vector<float>>& rows)
{
    return plane_of((int)rows[0].size(), (int)rows.size(), [&](int r, int c) { return rows[(size_t)r][(size_t)c]; });
}

// The propagation and convolution modes written straight from their sums (rows never wrap;
// the looped modes wrap columns; a missing row holds zeros, except that horizontal propagation
// leaves a row alone where S has none).
float reference_value(Plane s, Plane d, int w, int h, int cx, int cy, int mode, int i, int j)
{
    if ((mode == 10 || mode == 11) && !s[i])
        return d[i][j];
    double t = 0;
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            int r = i, c = j;
            if (mode == 9) {
                if (x != j)
                    continue;
                r = i - y + cy;
            } else if (mode == 10 || mode == 11) {
                if (y != i)
                    continue;
                c = j - x + cx;
            } else {
                r = i - y + cy;
                c = j - x + cx;
            }
            if (mode == 11 || mode == 13)
                c = ((c % w) + w) % w;
            if (r < 0 || r >= h || c < 0 || c >= w || !s[y] || !d[r])
                continue;
            t += (double)s[y][x] * d[r][c];
        }
    return (float)t;
}

// A plane whose values are non-zero with probability `density`: in [0.5, 1.5), or in [-1, 1)
// when `signed_values`.
Plane random_plane(int h, int w, float density, bool signed_values)
{
    return plane_of(w, h, [&](int, int) {
        return (float)wrrand() < density * 32768.f ? (signed_values ? dblrand() : 1.f + 0.5f * dblrand()) : 0.f;
    });
}

// Blends `s` into copies of `d` by the direct sums, through spectra and the cheaper of the two, and
// compares each with the sums written out (or, on large planes, with the direct sums) within the
// largest value the sums can reach. Returns the number of mismatches.
int compare_sums(Plane s, Plane d, int w, int h, int cx, int cy, int mode)
{
    const BlendSums ways[3] = {BLEND_SUMS_DIRECT, BLEND_SUMS_TRANSFORM, BLEND_SUMS_CHEAPER};
    Plane out[3];
    for (int k = 0; k < 3; k++) {
        out[k] = plane_copy(d, h, w);
        for (int r = 0; r < h; r++)
            if (!d[r])
                free_null(&out[k][r]);
        blend_kernel_with(s, out[k], w, h, cx, cy, mode, ways[k]);
    }
    double s_sum = 0, d_max = 0;
    for (int r = 0; r < h; r++)
        for (int x = 0; x < w; x++) {
            s_sum += s[r] ? fabs(s[r][x]) : 0;
            d_max = std::max(d_max, d[r] ? (double)fabs(d[r][x]) : 0.);
        }
    int bad = 0;
    for (int r = 0; r < h; r++)
        for (int x = 0; x < w && d[r]; x++) {
            const double want = w * h > 1000 ? out[0][r][x] : reference_value(s, d, w, h, cx, cy, mode, r, x);
            for (int k = 0; k < 3; k++)
                if (!(fabs(out[k][r][x] - want) <= 2e-6 * s_sum * d_max + 1e-6) && bad++ < 3)
                    ADD_FAILURE() << blending_name[mode] << " summed " << k << " centre " << cx << "," << cy << " at " << r
                                  << "," << x << ": " << out[k][r][x] << " instead of " << want;
        }
    for (Plane& p : out)
        plane_free(&p, h);
    return bad;
}

int live_volume_calls = 0;
void count_live_volume(EngineState*) { live_volume_calls++; }

// A 3 x 2 document with a table built entry by entry.
struct DocumentComposite : DocTest {
    static constexpr int W = 3, H = 2;

    void SetUp() override
    {
        DocTest::SetUp();
        doc(W, H, 0.f);
        plane_free(&image->layers[0].plane, H);
        free_null(&image->layers[0].name);
        image->count = 0;
    }
    // Appends a layer filled with `v` (or a separator for NaN) with `mode`.
    Layer* add(float v, int mode = 0, int off = 0)
    {
        Layer* l = &image->layers[image->count++];
        memset(l, 0, sizeof *l);
        if (!std::isnan(v))
            l->plane = plane_filled(W, H, v);
        l->name = string_assign(std::isnan(v) ? "----" : "L");
        l->blend = mode;
        l->off = off;
        l->conv_x = W / 2;
        l->conv_y = H / 2;
        return l;
    }
    float composite() { return image->composite[1][2]; }
};

} // namespace

TEST(DocumentBlend, PointwiseModesAndTheFirstLayer)
{
    // Per column: (s, d) pairs that exercise each mode's special cases.
    const std::vector<float> s = {2.f, 0.f, 3.f, 1.f};
    const std::vector<float> d = {6.f, 5.f, 0.f, 4.f};
    const float expect[9][4] = {
        {8, 5, 3, 5},       // addition
        {12, 0, 0, 4},      // multiplication
        {3, 0, 0, 4},       // division: by 0 gives 0
        {1.f / 3, 0, 0, 0.25f}, // reverse division: over 0 gives 0
        {4, 5, 0, 3},       // subtraction, never below 0
        {0, 0, 3, 0},       // reverse subtraction
        {4, 5, 3, 3},       // difference
        {2, 0, 0, 1},       // minimum
        {6, 5, 3, 4},       // maximum
    };
    for (int mode = 0; mode < 9; mode++) {
        Plane ps = make_plane({s}), pd = make_plane({d});
        blend_two_layers(ps, pd, 4, 1, 0, 0, mode, 1);
        for (int x = 0; x < 4; x++)
            EXPECT_FLOAT_EQ(pd[0][x], expect[mode][x]) << blending_name[mode] << " column " << x;
        plane_free(&ps, 1);
        plane_free(&pd, 1);
    }

    // Into a fresh destination: a copy for 0, 5, 6, 8, zero for every other mode; a missing
    // source row is skipped.
    for (int mode = 0; mode < BLEND_MODE_COUNT; mode++) {
        Plane ps = make_plane({{1.f, 2.f}, {3.f, 4.f}}), pd = plane_alloc(2, 2);
        free_null(&ps[1]);
        blend_two_layers(ps, pd, 2, 2, 1, 1, mode, 0);
        const bool copies = mode == 0 || mode == 5 || mode == 6 || mode == 8;
        EXPECT_TRUE(pd[0][1] == (copies ? 2.f : 0.f) && pd[1][1] == 0.f) << blend_tag[mode];
        plane_free(&ps, 2);
        plane_free(&pd, 2);
    }
}

// Modes 9..13 by direct sums, by transforms and by the cheaper way give the sums written out: odd
// sizes, centres inside, on the edges and outside the plane, sparse and dense kernels, signed
// values, and rows missing in either plane.
TEST(DocumentBlend, PropagationAndConvolutionFollowTheirSums)
{
    const int w = 37, h = 13;
    const int centres[][2] = {{18, 6}, {0, 0}, {36, 12}, {-5, 20}};
    wrsrand(11);
    for (int mode = 9; mode < BLEND_MODE_COUNT; mode++)
        for (int kind = 0; kind < 4; kind++)
            for (const auto& c : centres) {
                Plane s = random_plane(h, w, kind == 0 ? 0.05f : 1.f, kind == 2);
                Plane d = random_plane(h, w, 0.6f, kind == 2);
                if (kind == 3) {
                    free_null(&s[4]);
                    free_null(&d[7]);
                }
                EXPECT_EQ(compare_sums(s, d, w, h, c[0], c[1], mode), 0);
                plane_free(&s, h);
                plane_free(&d, h);
            }

    // Large enough to be shared out over threads: a sparse kernel on a dense plane.
    const int W = 1601, H = 41;
    Plane s = random_plane(H, W, 0.0004f, false), d = random_plane(H, W, 1.f, false);
    for (int mode : {9, 11, 12, 13})
        EXPECT_EQ(compare_sums(s, d, W, H, W / 3, H / 2, mode), 0);
    plane_free(&s, H);
    plane_free(&d, H);

    // Values that are not finite keep to the direct sums: an infinity reaches only its own
    // target (a point of D under the centre makes every mode copy S's row, column or plane).
    for (int mode = 9; mode < BLEND_MODE_COUNT; mode++) {
        Plane ps = random_plane(h, w, 1.f, false), pd = plane_alloc(h, w);
        ps[2][3] = INFINITY;
        pd[2][3] = 1.f;
        blend_kernel_with(ps, pd, w, h, 3, 2, mode, BLEND_SUMS_TRANSFORM);
        EXPECT_TRUE(std::isinf(pd[2][3])) << blending_name[mode];
        for (int r = 0; r < h; r++)
            for (int x = 0; x < w; x++)
                EXPECT_TRUE(std::isfinite(pd[r][x]) || (r == 2 && x == 3)) << blending_name[mode];
        plane_free(&ps, h);
        plane_free(&pd, h);
    }
    // An infinite kernel value meets only the non-zero content: zeros stay zero, not NaN.
    Plane ks = make_plane({{0, 0}, {0, INFINITY}}), kd = make_plane({{1, 0}, {0, 0}});
    blend_two_layers(ks, kd, 2, 2, 1, 1, 12, 1);
    EXPECT_TRUE(std::isinf(kd[0][0]) && kd[0][1] == 0.f && kd[1][1] == 0.f);
    plane_free(&ks, 2);
    plane_free(&kd, 2);
}

TEST_F(DocumentComposite, GroupsSeparatorsAndTheirModes)
{
    add(2.f);             // 0: first group, always added
    add(3.f, 1);          // 1: x 3 inside the first group -> 6
    add(NAN, 4);          // 2: separator, its group subtracted from the composite
    add(1.f);             // 3
    add(0.5f);            // 4: group = 1.5 -> composite 4.5
    process_layers(es.get());
    EXPECT_FLOAT_EQ(composite(), 4.5f);
    EXPECT_TRUE(image->layers[4].group == 2 && image->layers[1].group == 0);

    image->layers[3].off = 1; // a layer turned off leaves its group
    process_layers(es.get());
    EXPECT_FLOAT_EQ(composite(), 5.5f);
    image->layers[2].off = 1; // a separator turned off removes its whole group
    process_layers(es.get());
    EXPECT_FLOAT_EQ(composite(), 6.f);
    EXPECT_TRUE(image->layers[4].disabled == 1 && image->layers[1].disabled == 0);

    // View Current Group Only: the selected entry's group straight into the composite.
    image->layers[2].off = 0;
    image->layers[3].off = 0;
    key[state_of(K_VIEW_GROUP_ONLY)] = 1;
    for (auto [sel, v] : {std::pair{4, 1.5f}, {1, 6.f}}) {
        image->sel = sel;
        process_layers(es.get());
        EXPECT_FLOAT_EQ(composite(), v) << sel;
    }
    image->layers[0].off = 1; // the first blend of the group then copies, whatever comes next
    process_layers(es.get());
    EXPECT_FLOAT_EQ(composite(), 0.f); // multiplication into a fresh composite
}

TEST_F(DocumentComposite, LiveSynthesisRefreshesTheTransposedPlane)
{
    Layer* l = add(0.75f);
    l->plane[0][2] = 9.f;
    document_hooks.live_volume = count_live_volume;
    live_volume_calls = 0;
    key[state_of(K_LIVE_SYNTH)] = 1;
    process_layers(es.get());
    EXPECT_TRUE(image->transposed[2][0] == 9.f && image->transposed_ready == 1 && live_volume_calls == 1);

    // While a sound loads nothing is recomposited.
    key[K_LOADING] = 1;
    l->plane[0][2] = 1.f;
    process_layers(es.get());
    EXPECT_EQ(image->composite[0][2], 9.f);
}

// Merge Down refuses a value that is not finite and a plane with a missing row, and leaves the
// table to its caller (the refusals of the bottom entry, a separator and a layer above one are
// the layer commands' test, through the command slot).
TEST_F(DocumentComposite, MergeDownRefusesWhatCannotBeBlended)
{
    add(2.f);
    add(NAN);
    add(3.f, 1);
    add(4.f, 1);
    image->sel = 3;
    image->layers[3].plane[1][1] = NAN;
    EXPECT_EQ(merge_two_layers(image.get()), 0); // a value that is not finite
    image->layers[3].plane[1][1] = 4.f;
    free_null(&image->layers[2].plane[1]);
    EXPECT_EQ(merge_two_layers(image.get()), 0); // a plane with a missing row
    image->layers[2].plane[1] = static_cast<float*>(calloc(W, sizeof(float)));
    image->layers[3].off = 1; // off plays no part in Merge Down
    EXPECT_EQ(merge_two_layers(image.get()), 1);
    EXPECT_TRUE(image->layers[2].plane[0][0] == 12.f && image->layers[3].plane[0][0] == 4.f); // the table is the caller's
}
