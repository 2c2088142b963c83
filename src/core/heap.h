// Owners of C resources that the core hands around: malloc'd buffers, FILE* and DIR*.
#pragma once

#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

struct FreeDeleter {
    void operator()(void* p) const { free(p); }
};
using HeapBuffer = std::unique_ptr<char, FreeDeleter>;

struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;
