// Path kinds and helpers, the grey picture and float image writers (byte for byte), picture and
// float image reading, and the refusals of every file reader.
#include "files/media.h"
#include "files/npy.h"
#include "files/picture.h"
#include "test_support.h"

#include <FreeImage.h>
#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

// A plane over rows of values (row 0 at the top).
struct TestPlane {
    std::vector<std::vector<float>> rows;
    std::vector<float*> ptrs;
    explicit TestPlane(std::vector<std::vector<float>> r) : rows(std::move(r))
    {
        for (auto& row : rows)
            ptrs.push_back(row.data());
    }
    Plane plane() { return ptrs.data(); }
};

std::string le32(uint32_t v) { return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }
std::string le16(uint32_t v) { return {char(v), char(v >> 8)}; }
std::string be32(uint32_t v) { return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; }
std::string grey3(int g) { return std::string(3, (char)g); }
template <size_t N> std::string raw(const char (&s)[N]) { return std::string(s, N - 1); } // keeps NUL bytes

// The 54-byte header of a W x H grey BMP with D bytes of rows.
std::string bmp_header(int w, int h, int d)
{
    return "BM" + le32(d + 56) + le32(0) + le32(54) + le32(40) + le32(w) + le32(h) + le16(1) + le16(24) +
           le32(0) + le32(d + 2) + le32(2834) + le32(2834) + le32(0) + le32(0);
}

// A PNG chunk with its length and check sum.
std::string png_chunk(const std::string& type_and_data)
{
    uint32_t c = 0xffffffffu;
    for (unsigned char b : type_and_data) {
        c ^= b;
        for (int k = 0; k < 8; k++)
            c = (c >> 1) ^ (0xedb88320u & (0u - (c & 1u)));
    }
    return be32((uint32_t)type_and_data.size() - 4) + type_and_data + be32(~c);
}

// A .npy file of format `version` with the given header entries and raw data bytes, its header
// padded as numpy pads it, so that the data begins at a multiple of 64 bytes.
std::string npy_file(const std::string& descr, bool fortran, const std::string& shape, const std::string& data,
                     int version = 1)
{
    std::string header = "{'descr': '" + descr + "', 'fortran_order': " + (fortran ? "True" : "False") +
                         ", 'shape': " + shape + ", }";
    header += std::string((64 - ((version == 1 ? 11 : 13) + header.size()) % 64) % 64, ' ') + "\n";
    std::string out = std::string("\x93NUMPY") + char(version) + '\0';
    for (int i = 0; i < (version == 1 ? 2 : 4); i++)
        out += char(header.size() >> (8 * i));
    return out + header + data;
}

// The bytes of `values` as `item`-byte floats (4 or 8), big-endian when `big`.
std::string float_bytes(const std::vector<double>& values, int item, bool big)
{
    std::string out;
    for (double d : values) {
        char b[8];
        float f = (float)d;
        memcpy(b, item == 4 ? (const void*)&f : (const void*)&d, item);
        if (big)
            std::reverse(b, b + item);
        out.append(b, item);
    }
    return out;
}

} // namespace

TEST(MediaPaths, KindsAndPathHelpers)
{
    for (const char* p : {"/music/song.MP3", "a.wav", "a.flac", "notes.txt", "/v1.0/take.wav"})
        EXPECT_EQ(file_type(p), FILE_SOUND) << p;
    for (const char* p : {"picture.png", "P.TIFF", "level.doom", "no_extension", "", "/take.2/recording"})
        EXPECT_EQ(file_type(p), FILE_IMAGE) << p; // a dot in a folder name is no extension
    EXPECT_EQ(file_type("/home/me/Project.KBZ"), FILE_ARCHIVE);

    char buf[64] = "untouched";
    EXPECT_EQ(extract_file_extension("a", buf), nullptr); // too short: untouched
    EXPECT_STREQ(buf, "untouched");
    EXPECT_EQ(get_filename_from_path("c.wav"), nullptr);
    EXPECT_EQ(remove_name_from_path(buf, "z.png"), nullptr);
    EXPECT_STREQ(append_name_to_path(buf, "/a/", "b.wav"), "/a/b.wav");
    char in_place[64] = "/music";
    append_name_to_path(in_place, in_place, "x.mp3");
    EXPECT_STREQ(in_place, "/music/x.mp3");
}

TEST(MediaBmp, BytesOfOneAndFourPixelWidePicturesAndTheSameGreysInPng)
{
    TempDir dir;
    // One pixel wide: top 1.0 -> 255, bottom 255 * sqrt(0.25) -> 127; a pad byte per row.
    TestPlane one({{1.0f}, {0.25f}});
    ASSERT_EQ(save_image(one.plane(), 1, 2, dir.file("one.bmp").c_str()), 0);
    EXPECT_EQ(read_file(dir.file("one.bmp")),
              bmp_header(1, 2, 8) + grey3(127) + '\0' + grey3(255) + '\0' + std::string(2, '\0'));

    // Four wide, no padding; peak 100; negative and NaN values are black. A BMP whatever the name.
    TestPlane four({{0.f, 1.f, 2.25f, 9.f}, {9.f, -1.f, NAN, 100.f}});
    ASSERT_EQ(save_image(four.plane(), 4, 2, dir.file("four.png").c_str()), 0);
    EXPECT_EQ(read_file(dir.file("four.png")), bmp_header(4, 2, 24) + grey3(76) + grey3(0) + grey3(0) + grey3(255) +
                                                   grey3(0) + grey3(25) + grey3(38) + grey3(76) + std::string(2, '\0'));

    // A silent picture is black.
    TestPlane zero({{0.f, 0.f, 0.f}});
    ASSERT_EQ(save_image(zero.plane(), 3, 1, dir.file("zero.bmp").c_str()), 0);
    EXPECT_EQ(read_file(dir.file("zero.bmp")), bmp_header(3, 1, 12) + std::string(14, '\0'));

    // The PNG writer gives the same grey levels, read back top row first.
    ASSERT_EQ(save_image_png(four.plane(), 4, 2, dir.file("g.png").c_str()), 0);
    EXPECT_EQ(read_file(dir.file("g.png")).substr(1, 3), "PNG");
    int w = 0, h = 0;
    uint8_t* grey = load_picture(dir.file("g.png").c_str(), &w, &h, 1);
    ASSERT_TRUE(grey && w == 4 && h == 2);
    EXPECT_EQ(std::vector<int>(grey, grey + 8), std::vector<int>({0, 25, 38, 76, 76, 0, 0, 255}));
    free(grey);

    const std::string bad = dir.file("no/such/folder/out.bmp");
    for (int png = 0; png < 2; png++) {
        testing::internal::CaptureStderr();
        EXPECT_NE(png ? save_image_png(four.plane(), 4, 2, bad.c_str()) : save_image(four.plane(), 4, 2, bad.c_str()), 0);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(bad), std::string::npos) << err;
    }
}

TEST(MediaPicture, GreyAndColourFormsTopRowFirst)
{
    TempDir dir;
    // 2 x 2: top row white and red, bottom row black and (10, 20, 30); FreeImage rows run bottom-up.
    FIBITMAP* dib = FreeImage_Allocate(2, 2, 24);
    const int colours[4][3] = {{0, 0, 0}, {10, 20, 30}, {255, 255, 255}, {255, 0, 0}};
    for (int i = 0; i < 4; i++) {
        RGBQUAD c{(BYTE)colours[i][2], (BYTE)colours[i][1], (BYTE)colours[i][0], 0};
        FreeImage_SetPixelColor(dib, i % 2, i / 2, &c);
    }
    ASSERT_TRUE(FreeImage_Save(FIF_PNG, dib, dir.file("p.png").c_str(), 0));
    FreeImage_Unload(dib);

    int w = 0, h = 0;
    uint8_t* grey = load_picture(dir.file("p.png").c_str(), &w, &h, 1);
    ASSERT_TRUE(grey && w == 2 && h == 2);
    EXPECT_EQ(std::string((char*)grey, 4), std::string({(char)255, (char)85, (char)0, (char)20}));
    free(grey);

    // The resource reader's colour form (its paths under the resource folder are the platform
    // tests' file opener's).
    uint8_t* colour = load_image_ph(dir.file("p.png").c_str(), &w, &h, 0);
    ASSERT_NE(colour, nullptr);
    const uint8_t expect[16] = {255, 255, 255, 0, 255, 0, 0, 0, 0, 0, 0, 0, 10, 20, 30, 0};
    EXPECT_EQ(memcmp(colour, expect, 16), 0);
    free(colour);
}

// Pictures are told by their first bytes, never by their names: the six formats read decode
// whatever the file is called.
TEST(MediaPicture, TheKnownFormatsAreDecodedWhateverTheirNames)
{
    TempDir dir;
    FIBITMAP* colour = FreeImage_Allocate(3, 2, 24);
    RGBQUAD grey{90, 90, 90, 0};
    for (int i = 0; i < 6; i++)
        FreeImage_SetPixelColor(colour, i % 3, i / 3, &grey);
    FIBITMAP* palette = FreeImage_ConvertTo8Bits(colour);
    const struct {
        FREE_IMAGE_FORMAT fif;
        FIBITMAP* dib;
    } known[] = {{FIF_PNG, colour}, {FIF_JPEG, colour}, {FIF_BMP, colour},
                 {FIF_GIF, palette}, {FIF_TIFF, colour}, {FIF_WEBP, colour}};
    for (const auto& k : known) {
        SCOPED_TRACE(FreeImage_GetFormatFromFIF(k.fif));
        const std::string path = dir.file(std::string("picture") + FreeImage_GetFormatFromFIF(k.fif)); // no extension
        ASSERT_TRUE(FreeImage_Save(k.fif, k.dib, path.c_str(), k.fif == FIF_WEBP ? WEBP_LOSSLESS : 0));
        int w = 0, h = 0;
        uint8_t* p = load_picture(path.c_str(), &w, &h, 1);
        ASSERT_TRUE(p && w == 3 && h == 2);
        EXPECT_NEAR(p[0] + p[5], 180, 4); // JPEG is lossy
        free(p);
    }
    FreeImage_Unload(palette);
    FreeImage_Unload(colour);
}

// The file numpy itself writes for a float32 array of 2 rows of 3: its header and the rows in order.
TEST(FilesNpy, WritesNumpysHeaderAndTheRowsInOrder)
{
    TempDir dir;
    TestPlane rows({{0.25f, 1.25f, 2.25f}, {1000.25f, 1001.25f, 1002.25f}});
    ASSERT_EQ(save_npy(dir.file("a.npy").c_str(), rows.plane(), 3, 2), 1);
    EXPECT_EQ(read_file(dir.file("a.npy")),
              npy_file("<f4", false, "(2, 3)", float_bytes({0.25, 1.25, 2.25, 1000.25, 1001.25, 1002.25}, 4, false)));
}

// What numpy writes by default (float64) and what other tools write (big-endian, Fortran order,
// versions 2 and 3) all read as the same 2 x 3 plane; float64 beyond the float range is infinite.
TEST(FilesNpy, ReadsFloatArraysOfEitherWidthByteOrderAndLayout)
{
    TempDir dir;
    const std::vector<double> c_order = {0.5, 1, 2, 3, 4e-3, 1e300}, f_order = {0.5, 3, 1, 4e-3, 2, 1e300};
    const struct {
        const char* descr;
        bool fortran;
        int version;
    } cases[] = {{"<f4", false, 1}, {"<f8", false, 1}, {">f4", false, 2}, {">f8", true, 3}, {"<f8", true, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.descr) + (c.fortran ? " Fortran" : " C") + " v" + std::to_string(c.version));
        const int item = c.descr[2] - '0';
        write_file(dir.file("a.npy"), npy_file(c.descr, c.fortran, "(2, 3)",
                                               float_bytes(c.fortran ? f_order : c_order, item, c.descr[0] == '>'),
                                               c.version));
        int w = 0, h = 0;
        Plane rows = load_npy(dir.file("a.npy").c_str(), &w, &h);
        ASSERT_NE(rows, nullptr);
        ASSERT_EQ(w, 3);
        ASSERT_EQ(h, 2);
        EXPECT_EQ(std::vector<float>(rows[0], rows[0] + 3), std::vector<float>({0.5f, 1.f, 2.f}));
        EXPECT_EQ(std::vector<float>(rows[1], rows[1] + 2), std::vector<float>({3.f, 4e-3f}));
        EXPECT_EQ(rows[1][2], item == 8 ? INFINITY : (float)1e300);
        free2d(rows, h);
    }
}

// Hostile files for every reader (pictures, float images, sounds): unreadable, empty, cut, text,
// absurd sizes and header fields, other formats, missing. Each is refused with one line naming the
// file and the fault, read in a child that must end, with less than 1000 MB of memory: the
// lengths are checked before memory is taken, and every picture format but the six is refused
// before a decoder sees it (a 64 x 48 XBM with one damaged value hung the library's own reader for
// ever). A refused sound also has length 0.
TEST(FilesReaders, HostileFilesAreRefusedInOneLineQuicklyAndSmall)
{
    TempDir dir;
    const std::string ihdr = "IHDR" + raw("\0\1\x86\xa0\0\1\x86\xa0\x08\x02\0\0\0"); // 100000 x 100000
    const std::string idat = "IDAT" + raw("\x78\x9c\x03\0\0\0\0\1");                // empty deflate stream
    // A 64 x 48 XBM, its value 100 replaced by `bad` when given.
    auto xbm = [](const char* bad) {
        std::string text = "#define t_width 64\n#define t_height 48\nstatic char t_bits[] = {\n";
        for (int i = 0; i < 8 * 48; i++)
            text += std::string(i == 100 && bad ? bad : i % 7 ? "0x0f" : "0xa5") + (i + 1 < 8 * 48 ? ", " : "};\n");
        return text;
    };
    const std::string v2_huge = std::string("\x93NUMPY\x02\0", 8) + "\x80\x4f\x75\xe8" + "{'descr'", // 3.9e9
        data = float_bytes(std::vector<double>(2 * 40 * 30, 1.0), 4, false);
    const std::string wav_path = dir.file("good.wav"), mp3_path = dir.file("good.mp3");
    ASSERT_TRUE(write_test_sound(wav_path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 44100, std::vector<float>(1000, 0.25f)));
    ASSERT_TRUE(write_test_sound(mp3_path, SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 1, 44100, std::vector<float>(44100, 0.f)));
    ASSERT_TRUE(write_test_sound(dir.file("zero.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 44100, {}));
    const std::string wav = read_file(wav_path), mp3 = read_file(mp3_path);
    // An Ogg page holding only the Vorbis identification header (found by fuzzing: the sound
    // library leaks the codec's set-up on it).
    const std::string ogg_id_only("\x4f\x67\x67\x53\x00\x02\x00\x00\x00\x00\x00\x00\x00\x00\xad\x21\x08\x5e\x00\x00\x00\x00\x72\x8d\x64\x2b\x01\x1e\x01"
                                  "\x76\x6f\x72\x62\x69\x73\x00\x00\x00\x00\x02\x40\x1f\x00\x00\x00\x00\x00\x00\x50\x46\x00\x00\x00\x00\x00\x00\x99\x01", 58);
    std::string text;
    for (int i = 0; i < 200; i++)
        text += "This is a plain text file, line " + std::to_string(i) + ", not a sound at all.\n";
    const char* other = ": not a PNG, JPEG, BMP, GIF, TIFF or WebP picture\n";
    const struct {
        const char* name;
        std::string bytes, said; // the file (not written for "missing" and "zero"), what the line says
    } files[] = {
        {"text.png", "not a picture, just a few words of text\n", other},
        {"empty.bmp", "", ""},
        {"cut.png", raw("\x89PNG\r\n\x1a\n") + png_chunk(ihdr).substr(0, 12), ""},
        {"huge.png", raw("\x89PNG\r\n\x1a\n") + png_chunk(ihdr) + png_chunk(idat) + png_chunk("IEND"), "too large"},
        {"huge.bmp", "BM" + le32(54) + le32(0) + le32(54) + le32(40) + le32(100000) + le32(100000) + le16(1) +
                         le16(24) + std::string(24, '\0'), "too large"},
        {"huge.gif", "GIF89a" + le16(65535) + le16(65535) + raw("\0\0\0,\0\0\0\0\xff\xff\xff\xff\0\x08\0;"), "too large"},
        {"damaged.xbm", xbm("zz"), other},
        {"xbm.png", xbm(nullptr), other}, // a sound XBM named as a PNG
        {"grey.pgm", "P5 2 2 255\n" + raw("\1\2\3\4"), other},
        {"picture", "P6 1 1 255\n" + raw("\1\2\3"), other},
        {"missing.png", "", ""}, // a document picture that is gone is not fatal
        {"dims3.npy", npy_file("<f4", false, "(2, 40, 30)", data), "dims3.npy: not a two-dimensional array"},
        {"dims1.npy", npy_file("<f4", false, "(2400,)", data), "dims1.npy: not a two-dimensional array"},
        {"rows0.npy", npy_file("<f4", false, "(0, 3)", ""), "rows0.npy: not a two-dimensional array"},
        {"int.npy", npy_file("<i4", false, "(40, 60)", data), "int.npy: not an array of 32- or 64-bit floats"},
        {"short.npy", npy_file("<f4", false, "(100000, 20000)", data), "short.npy: truncated data"},
        {"v2_huge.npy", v2_huge, "v2_huge.npy: header length out of range (damaged file)"},
        {"text.npy", "hello\n", "text.npy: not a .npy file"},
        {"empty.wav", "", ""}, {"empty.mp3", "", ""}, {"text.wav", text, ""}, {"text.mp3", text, ""},
        {"cut_in_header.wav", wav.substr(0, 20), ""}, {"header_only.wav", wav.substr(0, 44), ""}, // claims 1000 frames
        {"no_frame.mp3", "ID3\x03" + std::string(6, '\0') + mp3.substr(mp3.size() / 2, 100), ""},
        {"cut_frame.mp3", mp3.substr(0, 300), ""}, {"id_header_only.ogg", ogg_id_only, ""},
        {"zero.wav", "", ""}, // written above: a proper file of no frames
        {"missing.mp3", "", ""}, {"missing.wav", "", ""},
    };
    for (const auto& f : files) {
        SCOPED_TRACE(f.name);
        const std::string path = dir.file(f.name), name = f.name;
        if (!name.starts_with("zero") && !name.starts_with("missing"))
            write_file(path, f.bytes);
        const ChildResult child = run_in_child([&] {
            int w = 0, h = 0, len = -1;
            if (!freopen(dir.file("err").c_str(), "w", stderr))
                return false;
            if (name.ends_with(".npy"))
                return !load_npy(path.c_str(), &w, &h);
            if (name.ends_with(".wav") || name.ends_with(".mp3") || name.ends_with(".ogg"))
                return !load_raw_sound(path.c_str(), &len, &w) && len == 0;
            return !load_picture(path.c_str(), &w, &h, 0);
        }, 30);
        EXPECT_TRUE(child.finished && child.ok);
        EXPECT_LT(child.peak_mb, 1000);
        const std::string err = read_file(dir.file("err"));
        EXPECT_NE(err.find(path + (f.said == other ? other : "")), std::string::npos) << err;
        EXPECT_NE(err.find(f.said), std::string::npos) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    }
    // The resource reader too returns null for a file it can open but not decode.
    int w, h;
    testing::internal::CaptureStderr();
    EXPECT_EQ(load_image_ph(dir.file("text.png").c_str(), &w, &h, 1), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Could not open image " + dir.file("text.png") + other);
}

TEST(MediaPictureDeathTest, MissingResourceEndsTheProgramWithAnAlert)
{
    TempDir dir;
    write_file(dir.file("answers"), "ok\n");
    ScopedEnv script("BRINDLEWHARF_DIALOG_SCRIPT", dir.file("answers").c_str());
    ScopedEnv log("BRINDLEWHARF_DIALOG_LOG", dir.file("asked").c_str());
    int w, h;
    EXPECT_EXIT(load_image_ph(dir.file("gfx/none.png").c_str(), &w, &h, 0), testing::ExitedWithCode(1), "");
    EXPECT_NE(read_file(dir.file("asked")).find("alert: File not found: Could not find file '" +
                                               dir.file("gfx/none.png") + "' in this program's folder"),
              std::string::npos);
}
