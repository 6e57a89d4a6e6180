// SPDX-License-Identifier: MIT
// Reading model files safely: only regular files (a FIFO or a device named by
// mistake must not block), sizes checked before anything is read, and the
// bytes copied into the process's own memory, so that a file rewritten or
// truncated while the program runs cannot change or break what was loaded.
#ifndef MIVORA_FACE_MODEL_FILE_H
#define MIVORA_FACE_MODEL_FILE_H

#include <cstddef>
#include <string>
#include <utility>

namespace mivora {

class RegularFile {
public:
    RegularFile() = default;
    ~RegularFile();
    RegularFile(const RegularFile&) = delete;
    RegularFile& operator=(const RegularFile&) = delete;
    friend void swap(RegularFile& a, RegularFile& b) noexcept
    {
        std::swap(a.fd_, b.fd_);
        std::swap(a.size_, b.size_);
    }

    // Opens path without blocking. False, with problem set, when it cannot be
    // opened or is not a regular file.
    bool open(const std::string& path, std::string& problem);
    std::size_t size() const { return size_; }
    // Reads exactly count bytes at offset. False, with problem set, on a short
    // read (the file shrank) or an error.
    bool read(std::size_t offset, void* to, std::size_t count, std::string& problem) const;

private:
    int fd_ = -1;
    std::size_t size_ = 0;
};

// Zero-filled private memory, in huge pages where the kernel has them.
class PrivateBytes {
public:
    PrivateBytes() = default;
    ~PrivateBytes();
    PrivateBytes(const PrivateBytes&) = delete;
    PrivateBytes& operator=(const PrivateBytes&) = delete;

    // False when the memory cannot be had.
    bool allocate(std::size_t size);
    unsigned char* data() const { return static_cast<unsigned char*>(address_); }
    std::size_t size() const { return size_; }

private:
    void* address_ = nullptr;
    std::size_t mapped_ = 0; // size_ rounded up to whole huge pages
    std::size_t size_ = 0;
};

// Memory for large arrays filled at load time, in huge pages where the
// kernel has them (from 256 KB, where a huge page's one fault is already
// cheaper than its small pages' faults; smaller ones from operator new).
void* allocateInHugePages(std::size_t bytes);
void freeInHugePages(void* memory, std::size_t bytes) noexcept;

template <typename T> struct HugePageAllocator {
    using value_type = T;
    HugePageAllocator() = default;
    template <typename U> HugePageAllocator(const HugePageAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) { return static_cast<T*>(allocateInHugePages(n * sizeof(T))); }
    void deallocate(T* p, std::size_t n) noexcept { freeInHugePages(p, n * sizeof(T)); }
    template <typename U> bool operator==(const HugePageAllocator<U>&) const noexcept { return true; }
    template <typename U> bool operator!=(const HugePageAllocator<U>&) const noexcept { return false; }
};

} // namespace mivora

#endif
