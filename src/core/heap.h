// Owners of C resources: malloc'd buffers, FILE*, DIR* and file descriptors.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>

struct FreeDeleter {
    void operator()(void* p) const { free(p); }
};
using HeapBuffer = std::unique_ptr<char, FreeDeleter>;

// count value-initialised T in malloc'd memory, destroyed and freed with their owner. The
// daemon takes its arrays this way rather than with new[], so that it needs no C++ runtime
// library on the device. An owner without items (count 0, or no memory) is false.
template <typename T>
class HeapArray {
  public:
    HeapArray() = default;
    explicit HeapArray(size_t count) {
        if (count == 0 || count > SIZE_MAX / sizeof(T)) return;
        T* items = static_cast<T*>(malloc(count * sizeof(T)));
        if (items == nullptr) return;
        for (size_t i = 0; i < count; ++i) new (items + i) T();
        items_ = items;
        count_ = count;
    }
    ~HeapArray() { reset(); }
    HeapArray(HeapArray&& other) noexcept : items_(other.items_), count_(other.count_) {
        other.items_ = nullptr;
        other.count_ = 0;
    }
    HeapArray& operator=(HeapArray&& other) noexcept {
        if (this != &other) {
            reset();
            items_ = other.items_;
            count_ = other.count_;
            other.items_ = nullptr;
            other.count_ = 0;
        }
        return *this;
    }
    HeapArray(const HeapArray&) = delete;
    HeapArray& operator=(const HeapArray&) = delete;

    explicit operator bool() const { return items_ != nullptr; }
    T* get() const { return items_; }
    T& operator[](size_t i) const { return items_[i]; }
    size_t size() const { return count_; }
    void reset() {
        for (size_t i = count_; i > 0; --i) items_[i - 1].~T();
        free(items_);
        items_ = nullptr;
        count_ = 0;
    }

  private:
    T* items_ = nullptr;
    size_t count_ = 0;
};

struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

// Owns one descriptor; closes it when the scope ends unless it was released.
class UniqueFd {
  public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = other.release();
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

  private:
    int fd_;
};
