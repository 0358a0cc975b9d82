// PNG image data deflated and inflated by libdeflate through LodePNG's zlib
// hooks; LodePNG stays the PNG codec. Both leave st's settings as found.
#pragma once
#include <cstddef>
#include <lodepng.h>

// The deflate level for an image of so many filtered bytes.
int zlevel(size_t bytes);

// lodepng_encode, its zlib stream made by libdeflate at the given level
// (1 to 12; 0: zlevel's). A failure returns LodePNG's code for it (83: out
// of memory).
unsigned zencode(unsigned char **out, size_t *outsize, const unsigned char *image, unsigned w, unsigned h,
                 LodePNGState *st, int level = 0);

// lodepng_decode, with the CRC of every chunk up to IEND that LodePNG
// reads checked here first and the zlib stream inflated by libdeflate,
// within st's max_output_size. A failure returns the code LodePNG's own
// decoder gives for it: 57 a damaged chunk, 30 one the file cuts short, 58
// a wrong or misplaced adler-32, 109 more data than the bound; 110 deflate
// data that can't be inflated.
unsigned zdecode(unsigned char **out, unsigned *w, unsigned *h, LodePNGState *st, const unsigned char *in,
                 size_t insize);
