// Documents: colour normalisation, the image stack at start-up, blank, picture and sound
// documents, release and its locks; settings that give no picture leave the document as it was.
#include "files/media.h"
#include "test_doc.h"

#include <sndfile.h>

#include <cmath>

namespace {

// True when the lock is free (taken and given back to find out).
bool lock_free(sem_t* s)
{
    if (sem_trywait(s) != 0)
        return false;
    sem_post(s);
    return true;
}

// A redraw that runs until the analysis is over, and what it saw.
std::atomic<int> redraw_runs{0}, view_resets{0};
void* redraw_until_stopped(void* arg)
{
    redraw_runs++;
    while (!static_cast<ImageStack*>(arg)->stop_redraw)
        wrsleep(1);
    return nullptr;
}
void count_view_reset(ImageStack* image) { view_resets += image->w > 0 && image->h > 0; }

// An image stack and engine state as at start-up, in a 1024 x 768 window with the default
// analysis range 27.5 .. 20000 Hz at 60 bands per octave and 100 pixels per second.
struct DocumentStack : DocTest {
    void SetUp() override
    {
        DocTest::SetUp();
        analysis({27.5f, 20000.f, 100.f, 100.f, 60.f, 24.f, 2.f});
    }
    bool locks_free() { return lock_free(image->transposed_lock) && lock_free(image->image_lock); }
};

} // namespace

TEST(DocumentColour, NormalisationAndBrightness)
{
    uint8_t px[] = {
        0, 0, 0, 7,       // black: from its distance to white -> grey 85
        255, 255, 255, 9, // white
        100, 50, 50, 0,   // s = 200: 127.5 + 0.5 -> 128, 63.75 + 0.5 -> 64
        10, 0, 0, 0,      // s < 32: 165, 172, 172 from white -> 90, 83, 83
    };
    Plane p = rgb_to_float(px, 2, 2);
    EXPECT_TRUE(p[0][0] == 0.f && p[0][1] == 1.f); // the fourth byte plays no part
    EXPECT_FLOAT_EQ(p[1][0], 200.f / 765.f);
    plane_free(&p, 2);
    rgb_no_luminosity(px, 2, 2);
    const uint8_t expect[] = {85, 85, 85, 7, 85, 85, 85, 9, 128, 64, 64, 0, 90, 83, 83, 0};
    EXPECT_EQ(memcmp(px, expect, sizeof px), 0);
}

// A blank document fills the view's width and the analysis range; a window too narrow for one is
// refused and the document stays. A release keeps the layers unless it is the full one, holds
// the locks once (a second release must not wait for its own locks) and the next document is
// made with them free.
TEST_F(DocumentStack, BlankDocumentAndItsRelease)
{
    ASSERT_EQ(new_image(es.get(), ""), 1);
    EXPECT_EQ(std::pair(image->w, image->h), std::pair(845, 571)); // one column more than the view; trunc(9.506 * 60 + 1.5)
    ASSERT_EQ(image->count, 1);
    EXPECT_STREQ(image->layers[0].name, "Layer 0");
    EXPECT_EQ(plane_values(image->layers[0].plane, 845, 571), std::vector<float>(845 * 571, 0.f));
    EXPECT_EQ(image->src_rgb[4 * 845 * 571 - 2], 85); // black, colour-normalised
    EXPECT_TRUE(locks_free() && lock_free(image->layers_lock));

    SCRN_W = 150; // narrower than the view's left edge: no blank picture, the document stays
    Plane before = image->composite;
    testing::internal::CaptureStderr();
    EXPECT_EQ(new_image(es.get(), ""), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(image->composite, before);
    EXPECT_TRUE(locks_free());

    free_image(image.get(), 0);
    EXPECT_TRUE(image->composite == nullptr && image->layers[0].plane != nullptr);
    EXPECT_FALSE(lock_free(image->transposed_lock) || lock_free(image->image_lock));
    free_image(image.get(), 1);
    EXPECT_TRUE(image->count == 0 && image->layers[0].name == nullptr);
    SCRN_W = 1024;
    ASSERT_EQ(new_image(es.get(), ""), 1);
    EXPECT_TRUE(locks_free());
}

// A picture document is its squared brightness, its layer a copy of the composite.
TEST_F(DocumentStack, PictureDocumentIsItsSquaredBrightness)
{
    const float grey[2][3] = {{1.f, 0.25f, 0.f}, {0.f, 1.f, 1.f}};
    Plane p = plane_of(3, 2, [&](int r, int c) { return grey[r][c]; });
    ASSERT_EQ(save_image(p, 3, 2, dir.file("p.bmp").c_str()), 0);
    plane_free(&p, 2);
    ASSERT_EQ(new_image(es.get(), dir.file("p.bmp").c_str()), 1);
    ASSERT_EQ(image->w * 10 + image->h, 32);
    EXPECT_FLOAT_EQ(image->composite[0][1], (127.f / 255.f) * (127.f / 255.f)); // squared brightness
    Plane layer = image->layers[0].plane;
    ASSERT_NE(layer[0], image->composite[0]); // a copy
    EXPECT_EQ(layer[0][1], image->composite[0][1]);
}

TEST_F(DocumentStack, SoundBecomesAPeakNormalisedOneLayerDocument)
{
    view_resets = redraw_runs = 0;
    sound_display_hooks = {count_view_reset, redraw_until_stopped};
    write_test_sound(dir.file("tone.wav"), SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1, 44100, sine_wave(1000.f, 88200));
    ASSERT_EQ(load_sound(dir.file("tone.wav").c_str(), es.get(), nullptr, 2), 1);
    // view resets, redraws (started, and stopped before load_sound returned), stop flag;
    // 2 s at 100 pixels per second, 571 rows; the original's length and rate
    EXPECT_EQ(std::vector<int>({view_resets, redraw_runs, image->stop_redraw, image->w, image->h, orig_len, orig_rate}),
              std::vector<int>({1, 1, 0, 200, 571, 88200, 44100}));
    const std::vector<float> v = plane_values(image->composite, 200, 571);
    const auto peak = std::max_element(v.begin(), v.end());
    EXPECT_EQ(*peak, 1.f);
    EXPECT_NEAR((peak - v.begin()) / 200, 259, 2); // 1000 Hz: ln(1000 / 27.5) / ln(20000 / 27.5) = 0.545 of 570 rows up
    ASSERT_EQ(image->count, 1);
    EXPECT_EQ(image->orig_w * 1000 + image->orig_h, 200 * 1000 + 571);
    for (Plane p : {image->layers[0].plane, image->reference, image->undo, image->analysed}) {
        ASSERT_NE(p[0], image->composite[0]);
        for (int r = 0; r < 571; r++)
            ASSERT_EQ(memcmp(p[r], image->composite[r], 200 * sizeof(float)), 0);
    }
    EXPECT_EQ(key[K_LOADING] + key[K_ANALYSING] + key[K_OPEN], 0);
    EXPECT_TRUE(locks_free());
}

TEST_F(DocumentStack, RefusedSettingsLeaveTheDocumentAsItWas)
{
    const std::string good = dir.file("good.wav");
    write_test_sound(good, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1, 44100, sine_wave(500.f, 22050));
    ASSERT_EQ(load_sound(good.c_str(), es.get()), 1);
    Plane composite = image->composite;
    float* snd = orig_snd;

    // Sounds that cannot be read are the opening tests' (and the editor's); here settings that give no picture.
    // min Hz, max Hz, px/s, bands per octave, scale base
    const float bad[][5] = {{1000, 1000, 100, 60, 2}, {0, 1000, 100, 60, 2},  {27.5f, 20000, 0, 60, 2},
                            {27.5f, 20000, 100, -1, 2}, {27.5f, 20000, 100, 60, 2.5f}, {27.5f, 20000, NAN, 60, 1}};
    for (const auto& b : bad) {
        const float params[7] = {b[0], b[1], b[2], 100.f, b[3], 24.f, b[4]};
        memcpy(es->anal_params, params, sizeof params);
        testing::internal::CaptureStderr();
        EXPECT_EQ(load_sound(good.c_str(), es.get()), 0);
        EXPECT_NE(testing::internal::GetCapturedStderr().find("Cannot analyse '" + good + "'"), std::string::npos);
    }
    EXPECT_TRUE(image->composite == composite && orig_snd == snd && image->count == 1 && locks_free());
}
