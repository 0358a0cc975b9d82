// The operations of vrel, as its command line calls them. Each returns 0
// on success or a small code naming the step that failed.
#pragma once

// 1 archive can't be opened, 2 palette can't be opened or read, 3 an image
// or sidecar can't be written, 4 the archive can't be read, is short or its
// header impossible.
int dump(const char *archive, const char *pal, const char *dir);

// 1 archive can't be written, 2 palette can't be opened or read, 3 the directory
// can't be read or holds a tile that can't be taken.
int pump(const char *archive, const char *pal, const char *dir);

// Round-trips every anm word below 2^28 through the codec, reporting on stderr.
void testanm();
