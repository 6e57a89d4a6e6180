// SPDX-License-Identifier: MIT
#include "model_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace mivora {

RegularFile::~RegularFile()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool RegularFile::open(const std::string& path, std::string& problem)
{
    // O_NONBLOCK: opening a FIFO would otherwise wait for a writer.
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0) {
        problem = std::strerror(errno);
        return false;
    }
    struct stat status {};
    if (fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode)) {
        problem = "not a regular file";
        return false;
    }
    size_ = static_cast<std::size_t>(status.st_size);
    return true;
}

bool RegularFile::read(std::size_t offset, void* to, std::size_t count, std::string& problem) const
{
    auto* out = static_cast<unsigned char*>(to);
    while (count > 0) {
        const ssize_t got = pread(fd_, out, count, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            problem = got < 0 ? std::strerror(errno) : "the file changed while it was read";
            return false;
        }
        out += got;
        offset += static_cast<std::size_t>(got);
        count -= static_cast<std::size_t>(got);
    }
    return true;
}

PrivateBytes::~PrivateBytes()
{
    if (address_ != nullptr)
        munmap(address_, mapped_);
}

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kHugePagesFrom = std::size_t{256} << 10;

std::size_t wholeHugePages(std::size_t size) { return (size + kHugePage - 1) / kHugePage * kHugePage; }

// Whole huge pages from a huge-page boundary: a fault fills 2 MB at once,
// where small pages would fault 512 times (each fault is dear in a virtual
// machine). Null when the memory cannot be had.
void* mapHugePages(std::size_t size)
{
    const std::size_t mapped = wholeHugePages(size);
    void* reserved = mmap(nullptr, mapped + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (reserved == MAP_FAILED)
        return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(reserved);
    const std::uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
    if (aligned > start)
        munmap(reserved, aligned - start);
    if (const std::size_t tail = start + kHugePage - aligned; tail > 0)
        munmap(reinterpret_cast<void*>(aligned + mapped), tail);
    void* address = reinterpret_cast<void*>(aligned);
    madvise(address, mapped, MADV_HUGEPAGE);
    return address;
}

} // namespace

bool PrivateBytes::allocate(std::size_t size)
{
    void* address = mapHugePages(size);
    if (address == nullptr)
        return false;
    if (address_ != nullptr)
        munmap(address_, mapped_);
    address_ = address;
    mapped_ = wholeHugePages(size);
    size_ = size;
    return true;
}

void* allocateInHugePages(std::size_t bytes)
{
    if (bytes < kHugePagesFrom)
        return ::operator new(bytes);
    void* memory = mapHugePages(bytes);
    if (memory == nullptr)
        throw std::bad_alloc();
    return memory;
}

void freeInHugePages(void* memory, std::size_t bytes) noexcept
{
    if (memory == nullptr)
        return;
    if (bytes < kHugePagesFrom)
        ::operator delete(memory);
    else
        munmap(memory, wholeHugePages(bytes));
}

} // namespace mivora
