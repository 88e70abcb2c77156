// Owners of what a function must give back besides references: a file
// descriptor, an open directory stream and a buffer view, each released
// when it goes out of scope.
#ifndef VANTOREL_STORAGE_HANDLES_HPP
#define VANTOREL_STORAGE_HANDLES_HPP

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <dirent.h>
#include <unistd.h>

#include <utility>

namespace storage {

class UniqueFd {
public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
    UniqueFd& operator=(UniqueFd o) noexcept
    {
        std::swap(fd_, o.fd_);
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    ~UniqueFd()
    {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    int get() const noexcept { return fd_; }
    int release() noexcept { return std::exchange(fd_, -1); }
    explicit operator bool() const noexcept { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// A directory stream; it owns the descriptor it was opened on.
class DirHandle {
public:
    DirHandle() noexcept = default;
    // Takes over `fd` (closed here when the stream cannot be made).
    explicit DirHandle(UniqueFd fd) noexcept : dir_(fdopendir(fd.get()))
    {
        if (dir_ != nullptr) {
            fd.release();
        }
    }
    DirHandle(DirHandle&& o) noexcept : dir_(std::exchange(o.dir_, nullptr)) {}
    DirHandle(const DirHandle&) = delete;
    DirHandle& operator=(const DirHandle&) = delete;
    ~DirHandle()
    {
        if (dir_ != nullptr) {
            closedir(dir_);
        }
    }
    DIR* get() const noexcept { return dir_; }
    int fd() const noexcept { return dirfd(dir_); }
    explicit operator bool() const noexcept { return dir_ != nullptr; }

private:
    DIR* dir_ = nullptr;
};

// A simple buffer view of a bytes-like object.
class BufferView {
public:
    BufferView() noexcept = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView()
    {
        if (held_) {
            PyBuffer_Release(&view_);
        }
    }
    // Returns false with an exception set.
    bool acquire(PyObject* object)
    {
        held_ = PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) == 0;
        return held_;
    }
    const char* data() const noexcept
    {
        return static_cast<const char*>(view_.buf);
    }
    Py_ssize_t size() const noexcept { return view_.len; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace storage

#endif  // VANTOREL_STORAGE_HANDLES_HPP
