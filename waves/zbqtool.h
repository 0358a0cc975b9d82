// The operations of zbqtool. Each returns 0 on success or a small code
// naming the step that failed; both print their progress on stdout.
#pragma once

struct lua_State;

// 2 bank can't be opened or read, 3 wrong header, 4 bank is short, 5 a
// file in dir can't be written.
int dump(const char *bank, const char *dir);

// 1 bank script can't be loaded, 2 it fails while running or the bank
// can't be written, 3 a sample file that exists can't be taken.
int pump(lua_State *L, const char *bank, const char *dir);
