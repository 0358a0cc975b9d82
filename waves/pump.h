// The pump's inside, for tests and fuzzers: the bank script to records.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "zbq.h"

struct lua_State;

struct bank {
    const char *dir;                    // the bank directory
    const char *script;                 // path of the bank script
    int ret;                            // what loading or running the script gave
    int ref;                            // the bank table in the registry
    int32_t top;                        // the highest index
    std::vector<sample> recs;
    std::vector<std::string> paths;     // empty: no usable "file"
};

// Loads b->script as text only (the loader of precompiled chunks trusts
// its input), runs it in L and reads the table it returns into b's
// records and paths. Returns 0, 1 after "Error loading lua: ...", or 2
// after "Error running lua: ...". Leaves L's stack empty.
int runbank(lua_State *L, bank *b);
