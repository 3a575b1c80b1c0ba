// The picture library's calls, looked up when a picture is first read or written: a start that
// never touches a picture (most batch commands, and `analyse` until its picture is done) does not
// wait for the library and the dozen decoders it brings to load.
#pragma once

#include <FreeImage.h>

// The library's functions this program calls.
#define PICTURE_LIBRARY_CALLS(X)                                                                         \
    X(Allocate) X(Unload) X(GetScanLine) X(GetPalette) X(GetWidth) X(GetHeight) X(GetImageType)          \
    X(ConvertTo32Bits) X(ConvertToStandardType) X(ToneMapping) X(FIFSupportsReading)                     \
    X(FIFSupportsNoPixels) X(LoadFromHandle) X(SaveToHandle) X(Save)

// One pointer for each of the library's functions above, under the name without its prefix.
struct PictureLibrary {
#define PICTURE_LIBRARY_MEMBER(name) decltype(&::FreeImage_##name) name;
    PICTURE_LIBRARY_CALLS(PICTURE_LIBRARY_MEMBER)
#undef PICTURE_LIBRARY_MEMBER
};

// The library's calls, loading it on first use. Null when it cannot be loaded: the first such
// call says why in one line on standard error.
const PictureLibrary* picture_library();

// Starts loading the library on another thread, so that a picture written at the end of a
// command finds it loaded. The process waits for that thread when it ends.
void picture_library_preload();
